// An unprivileged program that tries to hold quarn's updates back: started as root, it becomes
// the user nobody (uid and gid 65534), tries to open and lock quarn's run lock file and binds
// the abstract address "@quarn", reports how each went, and then keeps what it got until it is
// killed.
//
// usage: squatter    (prints "lock: RESULT" and "bind: RESULT", RESULT being "held" or the
//                     system's error text)

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main() {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
        perror("squatter: cannot become nobody");
        return 1;
    }
    int fd = open("/run/quarn.lock", O_RDONLY | O_CREAT, 0644);
    bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    printf("lock: %s\n", locked ? "held" : strerror(errno));
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, "quarn", 5);
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 6);
    bool bound = sock >= 0 && bind(sock, reinterpret_cast<sockaddr *>(&address), len) == 0;
    printf("bind: %s\n", bound ? "held" : strerror(errno));
    fflush(stdout);
    pause();
    return 0;
}
