#include "cli/PasswordSource.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace hvr::cli {

std::optional<std::string> passwordFromEnvironment() {
    const char* value = std::getenv(PASSWORD_VARIABLE);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::optional<std::string> promptPassword(const std::string& prompt) {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) return std::nullopt;
    termios saved{};
    const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ICANON;
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    (void)!::write(tty, prompt.data(), prompt.size());
    std::string password;
    bool gotLine = false;
    for (char c; ::read(tty, &c, 1) == 1;) {
        if (c == '\n' || c == '\r') {
            gotLine = true;
            break;
        }
        password += c;
    }
    if (isTerminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    if (!gotLine) return std::nullopt;
    return password;
}

std::optional<std::string> passwordFor(const std::string& user) {
    if (auto fromEnvironment = passwordFromEnvironment()) return fromEnvironment;
    return promptPassword("password for " + user + ": ");
}

}  // namespace hvr::cli
