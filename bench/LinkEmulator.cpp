#include "LinkEmulator.h"

#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace bench {

namespace {

// 198.18.0.1 is the machine itself (on the TUN device); the client reaches the
// server at .2 and the server sees the client as .3.
constexpr quint32 kLocal = (198u << 24) | (18u << 16) | 1u;
constexpr quint32 kServerSide = (198u << 24) | (18u << 16) | 2u;
constexpr quint32 kClientSide = (198u << 24) | (18u << 16) | 3u;
const char* const kDevice = "tarvikbench0";
// A queue of a direction holds at most this much (drop-tail, as a router).
constexpr qint64 kQueueBytes = 2 << 20;

[[noreturn]] void fail(const std::string& message)
{
    throw std::runtime_error(message);
}

void ip(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ip"), arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        fail("ip " + arguments.join(QLatin1Char(' ')).toStdString() + ": " +
             process.readAll().trimmed().toStdString());
}

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

quint32 load32(const unsigned char* p)
{
    quint32 v;
    std::memcpy(&v, p, 4);
    return ntohl(v);
}

void store32(unsigned char* p, quint32 value)
{
    const quint32 v = htonl(value);
    std::memcpy(p, &v, 4);
}

quint32 sum16(const unsigned char* p, size_t n, quint32 sum = 0)
{
    for (; n > 1; p += 2, n -= 2)
        sum += (quint32(p[0]) << 8) | p[1];
    if (n)
        sum += quint32(p[0]) << 8;
    return sum;
}

quint16 fold(quint32 sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<quint16>(~sum & 0xffff);
}

// New addresses, then both checksums computed afresh. Returns false for a
// packet that is not IPv4 or not one of the link's.
bool rewrite(std::vector<unsigned char>& packet, bool& upstream)
{
    if (packet.size() < 20 || (packet[0] >> 4) != 4)
        return false;
    const size_t headerLength = (packet[0] & 0x0f) * 4u;
    const size_t total = (size_t(packet[2]) << 8) | packet[3];
    if (headerLength < 20 || total > packet.size() || total < headerLength)
        return false;
    packet.resize(total);
    const quint32 destination = load32(&packet[16]);
    if (destination == kServerSide)
        upstream = true;
    else if (destination == kClientSide)
        upstream = false;
    else
        return false;
    store32(&packet[12], upstream ? kClientSide : kServerSide);
    store32(&packet[16], kLocal);
    packet[10] = packet[11] = 0;
    const quint16 headerSum = fold(sum16(packet.data(), headerLength));
    packet[10] = headerSum >> 8;
    packet[11] = headerSum & 0xff;

    const unsigned char protocol = packet[9];
    size_t checksumAt = 0;
    if (protocol == 6)
        checksumAt = 16;
    else if (protocol == 17)
        checksumAt = 6;
    else
        return true;
    unsigned char* segment = packet.data() + headerLength;
    const size_t length = total - headerLength;
    if (length < checksumAt + 2)
        return false;
    segment[checksumAt] = segment[checksumAt + 1] = 0;
    quint32 sum = sum16(&packet[12], 8);
    sum += protocol;
    sum += static_cast<quint32>(length);
    const quint16 checksum = fold(sum16(segment, length, sum));
    segment[checksumAt] = checksum >> 8;
    segment[checksumAt + 1] = checksum & 0xff;
    return true;
}

struct Packet
{
    std::vector<unsigned char> bytes;
    qint64 dueNs = 0;
};

struct Direction
{
    std::deque<Packet> queue;
    // When the last queued packet has left the bottleneck.
    qint64 freeAtNs = 0;
};

} // namespace

void LinkEmulator::enterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0)
        fail(std::string("cannot make a network namespace (root needed): ") + std::strerror(errno));
    ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
}

LinkEmulator::LinkEmulator()
{
    m_tun = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_tun < 0)
        fail(std::string("cannot open /dev/net/tun: ") + std::strerror(errno));
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, kDevice, IFNAMSIZ - 1);
    if (::ioctl(m_tun, TUNSETIFF, &request) != 0)
        fail(std::string("cannot make the TUN device: ") + std::strerror(errno));
    const QString device = QString::fromLatin1(kDevice);
    ip({QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("198.18.0.1/15"),
        QStringLiteral("dev"), device});
    ip({QStringLiteral("link"), QStringLiteral("set"), device, QStringLiteral("mtu"),
        QStringLiteral("1500"), QStringLiteral("up")});
    if (::pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0)
        fail("pipe");
    m_thread = std::thread([this] { run(); });
}

LinkEmulator::~LinkEmulator()
{
    m_stop = true;
    const char byte = 0;
    (void)!::write(m_wake[1], &byte, 1);
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_wake[0]);
    ::close(m_wake[1]);
    ::close(m_tun);
}

void LinkEmulator::setLink(int roundTripMs, qint64 bitsPerSecond)
{
    m_oneWayUs = roundTripMs * 500;
    m_bitsPerSecond = bitsPerSecond;
}

QHostAddress LinkEmulator::localAddress()
{
    return QHostAddress(kLocal);
}

QHostAddress LinkEmulator::serverAddress()
{
    return QHostAddress(kServerSide);
}

void LinkEmulator::run()
{
    Direction directions[2]; // 0: client to server, 1: server to client
    std::vector<unsigned char> buffer(65536);
    while (!m_stop) {
        qint64 now = nowNs();
        qint64 next = -1;
        for (Direction& d : directions) {
            while (!d.queue.empty() && d.queue.front().dueNs <= now) {
                const std::vector<unsigned char>& bytes = d.queue.front().bytes;
                (void)!::write(m_tun, bytes.data(), bytes.size());
                d.queue.pop_front();
            }
            if (!d.queue.empty())
                next = next < 0 ? d.queue.front().dueNs : std::min(next, d.queue.front().dueNs);
        }
        pollfd fds[2] = {{m_tun, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        timespec timeout{};
        if (next >= 0) {
            const qint64 wait = std::max<qint64>(0, next - now);
            timeout.tv_sec = wait / 1000000000;
            timeout.tv_nsec = wait % 1000000000;
        }
        if (::ppoll(fds, 2, next >= 0 ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        for (;;) {
            const ssize_t n = ::read(m_tun, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            std::vector<unsigned char> packet(buffer.begin(), buffer.begin() + n);
            bool upstream = false;
            if (!rewrite(packet, upstream))
                continue;
            Direction& d = directions[upstream ? 0 : 1];
            now = nowNs();
            const qint64 rate = m_bitsPerSecond;
            qint64 leaves = now;
            if (rate > 0) {
                const qint64 backlogBytes =
                    std::max<qint64>(0, d.freeAtNs - now) * rate / 8 / 1000000000;
                if (backlogBytes > kQueueBytes) {
                    ++m_dropped;
                    continue;
                }
                leaves = std::max(now, d.freeAtNs) +
                         static_cast<qint64>(packet.size()) * 8 * 1000000000 / rate;
                d.freeAtNs = leaves;
            }
            // A later packet never overtakes an earlier one of its direction.
            qint64 due = leaves + qint64(m_oneWayUs) * 1000;
            if (!d.queue.empty())
                due = std::max(due, d.queue.back().dueNs);
            d.queue.push_back(Packet{std::move(packet), due});
        }
    }
}

} // namespace bench
