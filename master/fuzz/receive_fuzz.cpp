// libFuzzer target: arbitrary bytes as requests to a fresh master. Requests in one input are
// separated by NUL bytes so that the fuzzer can build up tables and then hit them.
// Aborts when a reply is neither a valid reply nor the error reply, or when a refused
// request changed a table.

#include <mst_core.h>

#include <common/codec.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Snapshot = std::tuple<std::vector<std::tuple<int, int, double>>,
                            std::vector<std::tuple<int, std::u16string, std::u16string, double>>, int>;

Snapshot snap(const TMstCore &core)
{
    Snapshot s;
    for (const TSessionRow &r : core.Sessions().rows())
        std::get<0>(s).emplace_back(r.clientId, r.appCode, r.start);
    for (const TClientRow &r : core.Clients().rows())
        std::get<1>(s).emplace_back(r.clientId, r.host, r.address, r.lastContact);
    std::get<2>(s) = core.HighestClientId();
    return s;
}

bool isValidReply(const std::string &reply)
{
    if (reply.empty())
        return true;
    int f2 = 0, f3 = 0, f4 = 0;
    const int code = MsgParse(reply, f2, f3, f4);
    if (MsgCompose(code, f2, f3, f4) != reply)
        return false;
    return (code == 22 && f2 == 1 && f3 >= 0 && f4 >= 0) || (code == 35 && f2 == 1 && f3 == 0 && f4 == 0) ||
           (code == 47 && f2 == 0 && f3 == 0 && f4 == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    TDateTime now = 45000.5;
    const TClocks clocks{[&] { return now; }, [&] { return now * 86400.0; }};
    TLogStore log(clocks);
    TMstCore core(log, clocks);
    core.StartUp();
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t pos = 0;
    while (pos <= input.size()) {
        std::size_t end = input.find('\0', pos);
        if (end == std::string::npos)
            end = input.size();
        const std::string request = input.substr(pos, end - pos);
        pos = end + 1;
        now += 100.0 / 86400.0;
        const Snapshot before = snap(core);
        const TReceiveResult r = core.Receive(request, TPeerInfo{u"host", u"10.0.0.1"});
        if (!isValidReply(r.reply))
            std::abort();
        if (!r.actions.valid && (r.reply != "47,0,0,0" || snap(core) != before))
            std::abort();
        if (request.size() % 7 == 3)
            core.Audit();
    }
    return 0;
}
