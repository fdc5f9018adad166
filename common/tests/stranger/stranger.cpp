// korvel_stranger: what another local user's program does with the handle block and the message
// port, for the tests that play that user. Each command prints one line saying how it went;
// the commands that hold something keep it until their standard input closes.
//
//   korvel_stranger post PORT MESSAGE WPARAM LPARAM COUNT   prints how many were taken
//   korvel_stranger hold-block VALUE                          "held" or "refused", then holds
//   korvel_stranger leave-block VALUE                         "left" or "refused"; ends without
//                                                             closing the block
//   korvel_stranger bind-port VALUE                           "bound" or "refused", then holds
//   korvel_stranger pin-block                                 read-locks whatever lies under the
//                                                             block's name: "pinned" or "refused",
//                                                             then holds

#include <common/handleblock.h>
#include <common/msgport.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

unsigned long long Number(const char *text)
{
    return std::strtoull(text, nullptr, 0);
}

void Say(const char *what)
{
    std::printf("%s\n", what);
    std::fflush(stdout);
}

// Until the test closes our standard input.
void HoldOn()
{
    char buf[64];
    while (read(0, buf, sizeof buf) > 0) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "post" && argc == 7) {
        const auto port = static_cast<std::uint32_t>(Number(argv[2]));
        const auto message = static_cast<std::uint32_t>(Number(argv[3]));
        const auto count = Number(argv[6]);
        unsigned long long taken = 0;
        for (unsigned long long i = 0; i < count; ++i)
            if (PostMessage(port, message, static_cast<std::uintptr_t>(Number(argv[4])),
                            static_cast<std::intptr_t>(Number(argv[5]))))
                ++taken;
        std::printf("%llu\n", taken);
        return 0;
    }
    if ((cmd == "hold-block" || cmd == "leave-block") && argc == 3) {
        MHandle block = CreateHandleBlock(static_cast<std::uint32_t>(Number(argv[2])));
        if (!block.Active()) {
            Say("refused");
            return 1;
        }
        if (cmd == "leave-block") {
            Say("left");
            _exit(0);
        }
        Say("held");
        HoldOn();
        return 0;
    }
    if (cmd == "bind-port" && argc == 3) {
        TMsgPort port;
        if (!port.Open(static_cast<std::uint32_t>(Number(argv[2])))) {
            Say("refused");
            return 1;
        }
        Say("bound");
        HoldOn();
        return 0;
    }
    if (cmd == "pin-block" && argc == 2) {
        const std::string object = "/" + UnicodeToUtf8(HandleBlockName());
        const int fd = shm_open(object.c_str(), O_RDONLY, 0);
        struct flock lock {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            Say("refused");
            return 1;
        }
        Say("pinned");
        HoldOn();
        return 0;
    }
    std::fprintf(stderr, "korvel_stranger: unknown command\n");
    return 2;
}
