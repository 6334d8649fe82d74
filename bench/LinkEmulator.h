// A slow network link for the download benchmark, inside a network namespace
// of the benchmark's own (Linux, run as root). The kernel's delay queue is not
// available on every machine, and a user-space TCP proxy would hide what the
// client's own TCP does on a slow link (Nagle's algorithm waits for the
// server's acknowledgement, which a proxy on the same machine sends at once),
// so the link works on IP packets: a TUN device carries the client's packets
// to a thread of this process, which holds each one for the one-way delay and
// for its share of the bandwidth, then hands it back to the kernel with its
// addresses rewritten, so that it reaches the server as if from a distant
// client. The answers travel back the same way.
//
//     client --> serverAddress() --[tun: delay, rate]--> localAddress() (server)
//     server --> client's stand-in --[tun: delay, rate]--> localAddress() (client)
//
// The client connects to serverAddress(); the server listens on
// localAddress(). All addresses are of the benchmarking range 198.18.0.0/15,
// and exist only in the namespace that enterPrivateNetwork() makes. Owned by
// main; the packet thread runs from start() until destruction.
#pragma once

#include <QHostAddress>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

namespace bench {

class LinkEmulator
{
public:
    // Moves this process (and its children to come) into a new network
    // namespace with only the loopback device, up. Call before any thread
    // starts. Throws std::runtime_error (needs root).
    static void enterPrivateNetwork();

    // Makes the TUN device and starts the packet thread with no delay.
    LinkEmulator();
    ~LinkEmulator();

    // The round trip added (twice the one-way delay) and the rate cap of
    // each direction (bits per second; 0 for none). Takes effect for packets
    // that arrive afterwards.
    void setLink(int roundTripMs, qint64 bitsPerSecond);

    static QHostAddress localAddress();
    static QHostAddress serverAddress();

    // Packets dropped because a direction's queue was full.
    qint64 dropped() const { return m_dropped; }

private:
    void run();

    int m_tun = -1;
    int m_wake[2] = {-1, -1};
    std::atomic_int m_oneWayUs{0};
    std::atomic<qint64> m_bitsPerSecond{0};
    std::atomic<qint64> m_dropped{0};
    std::atomic_bool m_stop{false};
    std::thread m_thread;
};

} // namespace bench
