// Every log line the trader sends to its listener, as GBK byte strings (the
// host's code page). Each is a printf format; the UTF-8 text is beside it,
// and the level it is sent at.
#pragma once

namespace hvr {

// Connection life.
// [TraderHVR]开始连接远程服务器:%s   (host text)
inline constexpr const char LOG_CONNECT_START[] =
    "[TraderHVR]\xbf\xaa\xca\xbc\xc1\xac\xbd\xd3\xd4\xb6\xb3\xcc\xb7\xfe\xce\xf1\xc6\xf7:%s";
// [TraderHVR]连接成功
inline constexpr const char LOG_CONNECT_OK[] = "[TraderHVR]\xc1\xac\xbd\xd3\xb3\xc9\xb9\xa6";
// [TraderHVR]连接关闭,%d秒后重连   (seconds)
inline constexpr const char LOG_CONNECTION_CLOSED[] =
    "[TraderHVR]\xc1\xac\xbd\xd3\xb9\xd8\xb1\xd5,%d\xc3\xeb\xba\xf3\xd6\xd8\xc1\xac";
// [TraderHVR]接收出错:%s(%d),%d秒后重连   (error text, error value, seconds)
inline constexpr const char LOG_RECEIVE_ERROR[] =
    "[TraderHVR]\xbd\xd3\xca\xd5\xb3\xf6\xb4\xed:%s(%d),%d\xc3\xeb\xba\xf3\xd6\xd8\xc1\xac";
// [TraderHVR]服务器%d秒没有任何数据,断开连接,%d秒后重连   (103: seconds of
// silence after the server had sent heartbeats (the peertimeout key), seconds)
inline constexpr const char LOG_PEER_SILENT[] =
    "[TraderHVR]\xb7\xfe\xce\xf1\xc6\xf7%d\xc3\xeb\xc3\xbb\xd3\xd0\xc8\xce\xba\xce\xca\xfd\xbe\xdd,"
    "\xb6\xcf\xbf\xaa\xc1\xac\xbd\xd3,%d\xc3\xeb\xba\xf3\xd6\xd8\xc1\xac";
// [TraderHVR]连接已停止,请先调用init再connect   (103: connect after disconnect
// without init does nothing)
inline constexpr const char LOG_INIT_FIRST[] =
    "[TraderHVR]\xc1\xac\xbd\xd3\xd2\xd1\xcd\xa3\xd6\xb9,\xc7\xeb\xcf\xc8\xb5\xf7\xd3\xc3init\xd4\xd9"
    "connect";
// [TraderHVR]不能在回调中释放或删除交易对象,已忽略   (104: release or
// deleteTrader called from inside a listener callback)
inline constexpr const char LOG_RELEASE_IN_CALLBACK[] =
    "[TraderHVR]\xb2\xbb\xc4\xdc\xd4\xda\xbb\xd8\xb5\xf7\xd6\xd0\xca\xcd\xb7\xc5\xbb\xf2\xc9\xbe\xb3\xfd"
    "\xbd\xbb\xd2\xd7\xb6\xd4\xcf\xf3,\xd2\xd1\xba\xf6\xc2\xd4";
// [TraderHVR]在回调中删除了交易对象,进程终止   (104: the trader was destroyed
// with delete from inside one of its own listener callbacks; the process is
// ended with abort(), as the network thread would run on freed memory)
inline constexpr const char LOG_DELETED_IN_CALLBACK[] =
    "[TraderHVR]\xd4\xda\xbb\xd8\xb5\xf7\xd6\xd0\xc9\xbe\xb3\xfd\xc1\xcb\xbd\xbb\xd2\xd7\xb6\xd4\xcf\xf3,"
    "\xbd\xf8\xb3\xcc\xd6\xd5\xd6\xb9";
// [TraderHVR]套接字选项%s设置失败:%s   (103: the option's name, the system's
// reason; the connection goes on without it)
inline constexpr const char LOG_SOCKET_OPTION_FAILED[] =
    "[TraderHVR]\xcc\xd7\xbd\xd3\xd7\xd6\xd1\xa1\xcf\xee%s\xc9\xe8\xd6\xc3\xca\xa7\xb0\xdc:%s";
// [TraderHVR]配置项%s的值无效:"%s",按%lld使用   (103: init's key, its text,
// the value used)
inline constexpr const char LOG_CONFIG_VALUE[] =
    "[TraderHVR]\xc5\xe4\xd6\xc3\xcf\xee%s\xb5\xc4\xd6\xb5\xce\xde\xd0\xa7:\"%s\","
    "\xb0\xb4%lld\xca\xb9\xd3\xc3";
// [TraderHVR]网络连接异常:%s   (error description)
inline constexpr const char LOG_LOOP_ERROR[] = "[TraderHVR]\xcd\xf8\xc2\xe7\xc1\xac\xbd\xd3\xd2\xec\xb3\xa3:%s";

// Receive and send paths.
// [TraderHVR]包太大,丢弃
inline constexpr const char LOG_PACKET_TOO_LARGE[] = "[TraderHVR]\xb0\xfc\xcc\xab\xb4\xf3,\xb6\xaa\xc6\xfa";
// [TraderHVR]包头不对,丢弃
inline constexpr const char LOG_BAD_HEADER[] = "[TraderHVR]\xb0\xfc\xcd\xb7\xb2\xbb\xb6\xd4,\xb6\xaa\xc6\xfa";
// [TraderHVR]发送出错:丢弃%d个请求,其中%d个已完整发出   (104: a batch failed on
// the wire or was cut off part way and is dropped: the requests it held, and
// how many of them had left whole before the failure, so may have arrived.
// Heartbeats and logouts are not counted)
inline constexpr const char LOG_SEND_ERROR[] =
    "[TraderHVR]\xb7\xa2\xcb\xcd\xb3\xf6\xb4\xed:\xb6\xaa\xc6\xfa%d\xb8\xf6\xc7\xeb\xc7\xf3,"
    "\xc6\xe4\xd6\xd0%d\xb8\xf6\xd2\xd1\xcd\xea\xd5\xfb\xb7\xa2\xb3\xf6";
// [TraderHVR]连接关闭时%d个请求未发出,重连后发送   (102: our own close cut off a
// batch before any byte of it left; its requests go back to the front of the
// queue for the next connection. Heartbeats and logouts are not counted)
inline constexpr const char LOG_SEND_PUT_BACK[] =
    "[TraderHVR]\xc1\xac\xbd\xd3\xb9\xd8\xb1\xd5\xca\xb1%d\xb8\xf6\xc7\xeb\xc7\xf3\xce\xb4\xb7\xa2\xb3\xf6,"
    "\xd6\xd8\xc1\xac\xba\xf3\xb7\xa2\xcb\xcd";
// [TraderHVR]发送出错:关闭时%d个请求未发出   (104: requests still queued when
// release closed the session, dropped with the queue; count, heartbeats and
// logouts left out)
inline constexpr const char LOG_UNSENT_AT_CLOSE[] =
    "[TraderHVR]\xb7\xa2\xcb\xcd\xb3\xf6\xb4\xed:\xb9\xd8\xb1\xd5\xca\xb1%d\xb8\xf6\xc7\xeb\xc7\xf3\xce\xb4\xb7\xa2\xb3\xf6";
// [TraderHVR]关闭连接时%d个请求尚未被服务器确认收到,可能未送达   (104: our own
// close (disconnect, connect, release) came while the server had not yet
// acknowledged these requests, written whole before it; a close that resets
// the connection destroys them, so they may not have arrived. Heartbeats and
// logouts are not counted)
inline constexpr const char LOG_UNCONFIRMED_AT_CLOSE[] =
    "[TraderHVR]\xb9\xd8\xb1\xd5\xc1\xac\xbd\xd3\xca\xb1%d\xb8\xf6\xc7\xeb\xc7\xf3\xc9\xd0\xce\xb4\xb1\xbb"
    "\xb7\xfe\xce\xf1\xc6\xf7\xc8\xb7\xc8\xcf\xca\xd5\xb5\xbd,\xbf\xc9\xc4\xdc\xce\xb4\xcb\xcd\xb4\xef";
// [TraderHVR]发送队列已满(上限%llu字节),已拒绝%d个请求   (104: the sendqueue
// limit, requests refused since the last such line; at most one line a second)
inline constexpr const char LOG_SEND_QUEUE_FULL[] =
    "[TraderHVR]\xb7\xa2\xcb\xcd\xb6\xd3\xc1\xd0\xd2\xd1\xc2\xfa(\xc9\xcf\xcf\xde%llu\xd7\xd6\xbd\xda),"
    "\xd2\xd1\xbe\xdc\xbe\xf8%d\xb8\xf6\xc7\xeb\xc7\xf3";
// [TraderHVR]推送数据无法解析,已跳过:推送号%llu,类型%d   (104: push id, mtype)
inline constexpr const char LOG_PUSH_UNREADABLE[] =
    "[TraderHVR]\xcd\xc6\xcb\xcd\xca\xfd\xbe\xdd\xce\xde\xb7\xa8\xbd\xe2\xce\xf6,\xd2\xd1\xcc\xf8\xb9\xfd:"
    "\xcd\xc6\xcb\xcd\xba\xc5%llu,\xc0\xe0\xd0\xcd%d";
// [TraderHVR]应答数据无法解析,已丢弃:功能号%u   (104: function code)
inline constexpr const char LOG_ANSWER_UNREADABLE[] =
    "[TraderHVR]\xd3\xa6\xb4\xf0\xca\xfd\xbe\xdd\xce\xde\xb7\xa8\xbd\xe2\xce\xf6,\xd2\xd1\xb6\xaa\xc6\xfa:"
    "\xb9\xa6\xc4\xdc\xba\xc5%u";

// Trading operations.
// [TraderHVR]委托价格无效,拒绝报单:%s %.17g   (instrument, price)
inline constexpr const char LOG_PRICE_REFUSED[] =
    "[TraderHVR]\xce\xaf\xcd\xd0\xbc\xdb\xb8\xf1\xce\xde\xd0\xa7,\xbe\xdc\xbe\xf8\xb1\xa8\xb5\xa5:%s %.17g";
// [TraderHVR]没有合约目录,持仓无法匹配合约   (no catalog for a position answer)
inline constexpr const char LOG_NO_CATALOG[] =
    "[TraderHVR]\xc3\xbb\xd3\xd0\xba\xcf\xd4\xbc\xc4\xbf\xc2\xbc,\xb3\xd6\xb2\xd6\xce\xde\xb7\xa8\xc6\xa5\xc5\xe4\xba\xcf\xd4\xbc";
// [TraderHVR]报单为空,已拒绝   (null entrust or action record)
inline constexpr const char LOG_NULL_REQUEST[] =
    "[TraderHVR]\xb1\xa8\xb5\xa5\xce\xaa\xbf\xd5,\xd2\xd1\xbe\xdc\xbe\xf8";

// [TraderHVR]持仓合约不在合约目录中,已略过:%s   (103: instrument code, once per
// answer and instrument the host's catalog does not know)
inline constexpr const char LOG_POSITION_UNKNOWN_CONTRACT[] =
    "[TraderHVR]\xb3\xd6\xb2\xd6\xba\xcf\xd4\xbc\xb2\xbb\xd4\xda\xba\xcf\xd4\xbc\xc4\xbf\xc2\xbc\xd6\xd0,"
    "\xd2\xd1\xc2\xd4\xb9\xfd:%s";

// Flow file.
// [TraderHVR]流水文件不可用,推送序号不会保存:%s(%s)   (104: file name, reason;
// the login still succeeds, but push ids are not kept for resuming)
inline constexpr const char LOG_FLOW_UNAVAILABLE[] =
    "[TraderHVR]\xc1\xf7\xcb\xae\xce\xc4\xbc\xfe\xb2\xbb\xbf\xc9\xd3\xc3,\xcd\xc6\xcb\xcd\xd0\xf2\xba\xc5"
    "\xb2\xbb\xbb\xe1\xb1\xa3\xb4\xe6:%s(%s)";

// [TraderHVR]流水文件被改动(%s),已按记录重写:%s,推送号%lld   (104: how the
// file was found (one of the FLOW_DAMAGE_ texts below), file name, the push id
// it holds now; once per time the file had to be written again)
inline constexpr const char LOG_FLOW_REWRITTEN[] =
    "[TraderHVR]\xc1\xf7\xcb\xae\xce\xc4\xbc\xfe\xb1\xbb\xb8\xc4\xb6\xaf(%s),"
    "\xd2\xd1\xb0\xb4\xbc\xc7\xc2\xbc\xd6\xd8\xd0\xb4:%s,\xcd\xc6\xcb\xcd\xba\xc5%lld";
// 文件被截断   (truncated under the mapping)
inline constexpr const char FLOW_DAMAGE_TRUNCATED[] = "\xce\xc4\xbc\xfe\xb1\xbb\xbd\xd8\xb6\xcf";
// 文件被删除或改名   (deleted or renamed away)
inline constexpr const char FLOW_DAMAGE_MISSING[] = "\xce\xc4\xbc\xfe\xb1\xbb\xc9\xbe\xb3\xfd\xbb\xf2\xb8\xc4\xc3\xfb";
// 文件被另一个文件替换   (another file renamed or copied in under the name)
inline constexpr const char FLOW_DAMAGE_REPLACED[] =
    "\xce\xc4\xbc\xfe\xb1\xbb\xc1\xed\xd2\xbb\xb8\xf6\xce\xc4\xbc\xfe\xcc\xe6\xbb\xbb";
// 文件大小不是12字节   (no longer 12 bytes)
inline constexpr const char FLOW_DAMAGE_WRONG_SIZE[] =
    "\xce\xc4\xbc\xfe\xb4\xf3\xd0\xa1\xb2\xbb\xca\xc7" "12" "\xd7\xd6\xbd\xda";
// 文件内容与记录不符   (12 bytes still, the same file, but not what the
// record holds: a backup copied over it, say)
inline constexpr const char FLOW_DAMAGE_CHANGED[] =
    "\xce\xc4\xbc\xfe\xc4\xda\xc8\xdd\xd3\xeb\xbc\xc7\xc2\xbc\xb2\xbb\xb7\xfb";
// [TraderHVR]流水文件已被其他对象或进程占用,双方的推送序号会互相覆盖:%s
// (104: file name; another trader object or process holds the file's lock)
inline constexpr const char LOG_FLOW_HELD[] =
    "[TraderHVR]\xc1\xf7\xcb\xae\xce\xc4\xbc\xfe\xd2\xd1\xb1\xbb\xc6\xe4\xcb\xfb\xb6\xd4\xcf\xf3"
    "\xbb\xf2\xbd\xf8\xb3\xcc\xd5\xbc\xd3\xc3,\xcb\xab\xb7\xbd\xb5\xc4\xcd\xc6\xcb\xcd\xd0\xf2"
    "\xba\xc5\xbb\xe1\xbb\xa5\xcf\xe0\xb8\xb2\xb8\xc7:%s";

// Login.
// [TraderHVR]交易日已变更:流水记录为%u,本次登录为%u,从推送号%lld续传;
// 按交易日编号推送的服务器可能跳过新交易日的前%lld条推送   (103: the date in
// the flow record, the login's date, the push id the login resumed from,
// twice)
inline constexpr const char LOG_NEW_TRADING_DAY[] =
    "[TraderHVR]\xbd\xbb\xd2\xd7\xc8\xd5\xd2\xd1\xb1\xe4\xb8\xfc:\xc1\xf7\xcb\xae\xbc\xc7\xc2\xbc"
    "\xce\xaa%u,\xb1\xbe\xb4\xce\xb5\xc7\xc2\xbc\xce\xaa%u,\xb4\xd3\xcd\xc6\xcb\xcd\xba\xc5%lld"
    "\xd0\xf8\xb4\xab;\xb0\xb4\xbd\xbb\xd2\xd7\xc8\xd5\xb1\xe0\xba\xc5\xcd\xc6\xcb\xcd\xb5\xc4"
    "\xb7\xfe\xce\xf1\xc6\xf7\xbf\xc9\xc4\xdc\xcc\xf8\xb9\xfd\xd0\xc2\xbd\xbb\xd2\xd7\xc8\xd5"
    "\xb5\xc4\xc7\xb0%lld\xcc\xf5\xcd\xc6\xcb\xcd";

// The description logged for an exception that is not a std::exception.
inline constexpr const char UNKNOWN_EXCEPTION[] = "unknown exception";

}  // namespace hvr
