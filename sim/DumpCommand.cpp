#include "DumpCommand.h"

#include <algorithm>
#include <boost/program_options.hpp>

#include "DayDump.h"

namespace hvr::sim {

namespace po = boost::program_options;

namespace {

constexpr int DUMP_OK = 0;
constexpr int DUMP_FAILED = 1;
constexpr int DUMP_USAGE = 2;

const char* const USAGE =
    "Usage: hvr-sim dump --db FILE [--json|--csv] day|orders|trades|positions|pushes|accounts\n"
    "Prints one table of the trading day stored in FILE (opened read-only).\n\nOptions";

}  // namespace

int runDump(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string db;
    std::string table;
    bool json = false;
    bool csv = false;
    po::options_description visible(USAGE);
    visible.add_options()
        ("db", po::value(&db)->value_name("FILE"), "the database of the day")
        ("json", po::bool_switch(&json), "print a JSON array of objects")
        ("csv", po::bool_switch(&csv), "print CSV with a header line")
        ("help,h", "show this help and exit");
    po::options_description all;
    all.add(visible).add_options()("table", po::value(&table));
    po::positional_options_description positional;
    positional.add("table", 1);

    po::variables_map vm;
    try {
        po::store(po::command_line_parser(args).options(all).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        err << "hvr-sim dump: " << e.what() << " (see hvr-sim dump --help)\n";
        return DUMP_USAGE;
    }
    if (vm.count("help")) {
        out << visible;
        return DUMP_OK;
    }
    const std::vector<std::string>& names = dumpTableNames();
    std::string known;
    for (const std::string& name : names) known += (known.empty() ? "" : name == names.back() ? " or " : ", ") + name;
    std::string problem;
    if (db.empty()) problem = "--db FILE is required";
    else if (table.empty()) problem = "name a table: " + known;
    else if (std::find(names.begin(), names.end(), table) == names.end())
        problem = "unknown table \"" + table + "\"; use " + known;
    else if (json && csv) problem = "--json and --csv exclude each other";
    if (!problem.empty()) {
        err << "hvr-sim dump: " << problem << "\n";
        return DUMP_USAGE;
    }

    try {
        SqliteDb database(db, SqliteDb::Access::ReadOnly);
        const DumpTable rows = dumpDay(database, table);
        writeDumpTable(rows, json ? DumpFormat::Json : csv ? DumpFormat::Csv : DumpFormat::Text, out);
        return DUMP_OK;
    } catch (const std::exception& e) {
        err << "hvr-sim dump: " << db << ": " << e.what() << "\n";
        return DUMP_FAILED;
    }
}

}  // namespace hvr::sim
