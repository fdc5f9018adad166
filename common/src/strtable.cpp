#include <common/strtable.h>

#include <unordered_map>

namespace {

const std::unordered_map<int, const char16_t *> &table()
{
    static const std::unordered_map<int, const char16_t *> texts = {
        {IDS_EXIT_CONFIRM,
         u"There are active Ardentis application(s). They will be aborted soon. Continue anyway?"},
        {IDS_TIP_MASTER_STATION, u"Application is running on master-station (client ID = %d)."},
        {IDS_ALREADY_RUNNING, u"Korvel is already running."},
        {IDS_BLOCK_CREATE_ERROR, u"Internal error: mutex or memory file create error."},
        {IDS_LOG_SOCKET_ERROR, u"Error occured during communication session with a client (%s)."},
        {IDS_KIND_GENERAL, u"general"},
        {IDS_KIND_SENDING, u"sending"},
        {IDS_KIND_RECEIVING, u"receiving"},
        {IDS_KIND_CONNECTING, u"connecting"},
        {IDS_KIND_DISCONNECTING, u"disconnecting"},
        {IDS_KIND_LOOKUP, u"looking up"},
        {IDS_LOG_ASSIGNED_ID, u"Client is assigned ID = %d. "},
        {IDS_LOG_KEEPALIVE, u"Client %d requested for acknowledgment."},
        {IDS_LOG_SHUT_DOWN, u"Application %d has shut down, client %d."},
        {IDS_LOG_BAD_MESSAGE, u"Bad client messge - discarded."},
        {IDS_LOG_AUDIT_OK, u"Master audit: all clients are active."},
        {IDS_LOG_AUDIT_DEAD, u"Master audit: at least, one client is dead."},
        {IDS_LOG_LISTENING, u"Master begins listening at port %d."},
        {IDS_LOG_LISTEN_FAILED, u"Master cannot listen at port %d: %s. It tries again every few seconds."},
        {IDS_LOG_LISTEN_OPENED, u"Master listens at port %d now."},
        {IDS_TIP_CLIENT, u"Client %d.  Host: %s.  Address: %s"},
        {IDS_CLN_CONVERSATION_ERROR, u"Error occured during conversation with Master %s."},
        {IDS_CLN_DETAIL_OS, u"(OS error code %d)"},
        {IDS_CLN_DETAIL_NO_ADDRESS, u"(Master IP address not defined)"},
        {IDS_CLN_DETAIL_BAD_MESSAGE, u"(bad Master message)"},
        {IDS_CLN_SESSION_ENDS, u" Work session ends soon."},
        {IDS_CLN_EXIT_BLOCKED_1, u"There is at least one ative Ardentis application(s)."},
        {IDS_CLN_EXIT_BLOCKED_2, u"Korvel cannot exit until it is closed or aborted."},
        {IDS_CLN_SELECT_DISC, u"Select system disc on a master station."},
        {IDS_CLN_UNC_ERROR, u"Error getting full UNC disc name. Possibly, local disc is selected."},
        {IDS_CLN_NO_MASTER_ADDRESS, u"Error getting Master IP address(es)."},
        {IDS_CLN_ADDRESS_COUNT, u"Master owns %d IP addresses. Use down arrow button to test each one."},
        {IDS_CLN_BAD_ADDRESS, u"Bad IP address."},
        {IDS_CLN_BAD_PORT, u"Bad port number."},
        {IDS_CLN_TEST_OK, u"Connection successfully completed."},
        {IDS_CLN_TEST_FAILED, u"Error! Attempt of connecting to Master failed."},
        {IDS_CLN_NOT_TESTED, u"Connection to Master has not been tested."},
        {IDS_LAUNCH_ERROR, u"OS reports Korvel launch error."},
    };
    return texts;
}

} // namespace

UnicodeString LoadStr(int id)
{
    const auto &t = table();
    const auto it = t.find(id);
    return it == t.end() ? UnicodeString() : UnicodeString(it->second);
}

UnicodeString FormatStr(const UnicodeString &format, std::initializer_list<TFmtArg> args)
{
    UnicodeString out;
    out.reserve(format.size() + 16);
    auto next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char16_t c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            out.push_back(c);
            continue;
        }
        const char16_t conv = format[i + 1];
        if (conv == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        if (conv != u'd' && conv != u'u' && conv != u's') {
            out.push_back(c);
            continue;
        }
        ++i;
        if (next == args.end()) {
            out.push_back(u'%');
            out.push_back(conv);
            continue;
        }
        const TFmtArg &a = *next++;
        if (a.isText)
            out += a.text;
        else if (conv == u'u')
            out += IntToStr(static_cast<long long>(static_cast<unsigned int>(a.number)));
        else
            out += IntToStr(a.number);
    }
    return out;
}

UnicodeString LoadFmt(int id, std::initializer_list<TFmtArg> args)
{
    return FormatStr(LoadStr(id), args);
}
