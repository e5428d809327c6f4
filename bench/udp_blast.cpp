// Raw UDP baseline for the stream benchmark: how many bytes of 1402-byte datagrams one process
// can hand to another over 127.0.0.1, one send and one receive call per datagram (as the uTP
// runner does), with nothing on top. POSIX-only benchmark tool; the module never uses it.
//
// Usage: udp_blast [seconds=3] [socket buffer bytes=4194304]
// Prints "RESULT {"rate": MB/s received, "sent": datagrams, "received": datagrams, ...}".
// The receiver is a forked child; it reports through a pipe. Loss (the sender outrunning the
// receiver) is part of the result: the rate counts what arrived.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const size_t kDatagram = 1402;

double sCpuSeconds()
{
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double sNow()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int sOpen(int iBuffer)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &iBuffer, sizeof iBuffer);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &iBuffer, sizeof iBuffer);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

struct Received
{
    long fDatagrams;
    double fSeconds; // from the first datagram to the last
    double fCpu;     // CPU seconds (user and system) over the same time
};

// The child: counts full datagrams until a 1-byte end marker or one second of silence.
Received sReceive(int iSocket)
{
    char buffer[65536];
    Received result = {0, 0, 0};
    double first = 0, last = 0, cpu = 0;
    pollfd waiting = {iSocket, POLLIN, 0};
    while (::poll(&waiting, 1, 1000) > 0)
    {
        ssize_t n = ::recv(iSocket, buffer, sizeof buffer, 0);
        if (n == 1)
            break;
        if (n != ssize_t(kDatagram))
            continue;
        last = sNow();
        if (result.fDatagrams++ == 0)
        {
            first = last;
            cpu = sCpuSeconds();
        }
    }
    result.fSeconds = last - first;
    result.fCpu = sCpuSeconds() - cpu;
    return result;
}

long sBlast(int iSocket, double iSeconds)
{
    char datagram[kDatagram];
    std::memset(datagram, 0x5a, sizeof datagram);
    long sent = 0;
    const double end = sNow() + iSeconds;
    while (sNow() < end)
        for (int i = 0; i < 256; ++i)
            if (::send(iSocket, datagram, sizeof datagram, 0) == ssize_t(sizeof datagram))
                ++sent;
    for (int i = 0; i < 50; ++i)
    {
        ::send(iSocket, "!", 1, 0);
        ::usleep(10000);
    }
    return sent;
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int buffer = argc > 2 ? std::atoi(argv[2]) : 4 << 20;
    int receiver = sOpen(buffer);
    sockaddr_in address = {};
    socklen_t length = sizeof address;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length);
    int report[2];
    if (::pipe(report) != 0)
        return 1;
    pid_t child = ::fork();
    if (child == 0)
    {
        Received result = sReceive(receiver);
        ssize_t written = ::write(report[1], &result, sizeof result);
        ::_exit(written == ssize_t(sizeof result) ? 0 : 1);
    }
    ::close(receiver);
    int sender = sOpen(buffer);
    ::connect(sender, reinterpret_cast<sockaddr*>(&address), length);
    const double cpu = sCpuSeconds();
    const long sent = sBlast(sender, seconds);
    const double sendCpu = sCpuSeconds() - cpu;
    Received result = {0, 0, 0};
    if (::read(report[0], &result, sizeof result) != ssize_t(sizeof result))
        return 1;
    ::waitpid(child, nullptr, 0);
    const double mb = double(result.fDatagrams) * kDatagram / (1 << 20);
    // CPU per MB on each side, per MB that arrived (what was lost cost the sender too).
    std::printf("RESULT {\"rate\": %.1f, \"sent\": %ld, \"received\": %ld, \"seconds\": %.2f, "
                "\"cpu_send_ms_per_mb\": %.2f, \"cpu_receive_ms_per_mb\": %.2f}\n",
                result.fSeconds > 0 ? mb / result.fSeconds : 0.0, sent, result.fDatagrams,
                result.fSeconds, mb > 0 ? sendCpu / mb * 1e3 : 0.0,
                mb > 0 ? result.fCpu / mb * 1e3 : 0.0);
    return 0;
}
