// SPDX-License-Identifier: GPL-3.0-or-later
#include "relay/delayedlink.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace qm::relay {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t ReadSize = 64 * 1024;
// A rate-limited line buffers this long beyond its delay, as a router would; without it a
// full queue would add its own latency of seconds at low rates.
constexpr std::chrono::milliseconds RouterBuffer{50};

struct Chunk {
    Clock::time_point due;
    std::string data;
    std::size_t sent = 0;
};

void setOption(int fd, int level, int name) {
    int on = 1;
    // Fails harmlessly on sockets that are not TCP (the session end of the news server).
    (void)::setsockopt(fd, level, name, &on, sizeof on);
}

timespec until(Clock::time_point due, Clock::time_point now) {
    const auto left = std::max(Clock::duration::zero(), due - now);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// When the bytes read at arrival reach the far side: the line carries one chunk at a time at
// its rate, then the delay.
class LineModel {
  public:
    explicit LineModel(const LinkOptions& options)
        : m_delay(options.delay), m_bytesPerSecond(options.rateMbit * 1e6 / 8) {}

    Clock::time_point due(Clock::time_point arrival, std::size_t bytes) {
        if (m_bytesPerSecond <= 0) return arrival + m_delay;
        const auto start = std::max(arrival, m_free);
        m_free = start + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(bytes / m_bytesPerSecond));
        return m_free + m_delay;
    }
    std::size_t queueLimit(std::size_t configured) const {
        if (m_bytesPerSecond <= 0) return configured;
        const double seconds = std::chrono::duration<double>(m_delay + RouterBuffer).count();
        const auto wanted = static_cast<std::size_t>(m_bytesPerSecond * seconds);
        return std::clamp<std::size_t>(wanted, ReadSize, configured);
    }

  private:
    Clock::duration m_delay;
    double m_bytesPerSecond;
    Clock::time_point m_free{};
};

}  // namespace

DelayedLink::DelayedLink(Descriptor a, Descriptor b, const LinkOptions& options)
    : m_options(options), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_wake)
        throw std::system_error(errno, std::generic_category(), "cannot make a wake-up event");
    m_side[AtoB] = std::move(a);
    m_side[BtoA] = std::move(b);
    for (const Descriptor& side : m_side) {
        ::fcntl(side.get(), F_SETFL, ::fcntl(side.get(), F_GETFL) | O_NONBLOCK);
        setOption(side.get(), IPPROTO_TCP, TCP_NODELAY);
        setOption(side.get(), IPPROTO_TCP, TCP_QUICKACK);
    }
    m_threads[AtoB] = std::thread([this] { pump(AtoB); });
    m_threads[BtoA] = std::thread([this] { pump(BtoA); });
}

DelayedLink::~DelayedLink() {
    stop();
}

void DelayedLink::stop() {
    const std::uint64_t one = 1;
    (void)!::write(m_wake.get(), &one, sizeof one);
    for (std::thread& t : m_threads)
        if (t.joinable()) t.join();
    // The peers see the end now, not only when the owner lets go of the link.
    for (const Descriptor& side : m_side) ::shutdown(side.get(), SHUT_RDWR);
}

void DelayedLink::pump(Direction direction) {
    const int from = m_side[direction].get();
    const int to = m_side[1 - direction].get();
    LineModel line(m_options);
    const std::size_t limit = line.queueLimit(m_options.queueLimit);
    std::vector<char> buffer(ReadSize);
    std::deque<Chunk> queue;
    std::size_t queued = 0;
    bool ended = false;
    for (;;) {
        bool blocked = false;
        const auto now = Clock::now();
        while (!queue.empty() && queue.front().due <= now) {
            Chunk& chunk = queue.front();
            const ssize_t n = ::send(to, chunk.data.data() + chunk.sent,
                                     chunk.data.size() - chunk.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                blocked = true;
                break;
            }
            if (n < 0) {
                // The receiving side is gone: nothing more can reach it. Stop reading, and
                // tell a local writer so (on a socket pair its writes now fail).
                ::shutdown(from, SHUT_RD);
                --m_running;
                return;
            }
            chunk.sent += static_cast<std::size_t>(n);
            m_delivered[direction] += static_cast<std::uint64_t>(n);
            if (chunk.sent == chunk.data.size()) {
                queued -= chunk.data.size();
                queue.pop_front();
            }
        }
        if (ended && queue.empty()) {
            ::shutdown(to, SHUT_WR);
            break;
        }
        pollfd fds[3] = {{m_wake.get(), POLLIN, 0}};
        nfds_t count = 1;
        const bool reading = !ended && queued < limit;
        if (reading) fds[count++] = {from, POLLIN, 0};
        if (blocked) fds[count++] = {to, POLLOUT, 0};
        timespec timeout{};
        const bool timed = !blocked && !queue.empty();
        if (timed) timeout = until(queue.front().due, now);
        if (::ppoll(fds, count, timed ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) break;
        if (fds[0].revents) break;  // stop()
        if (!reading || !fds[1].revents) continue;
        const ssize_t n = ::recv(from, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            const auto arrival = Clock::now();
            // Linux clears the quick-acknowledgement mode after a while: set it after every
            // read, so the sender never waits for our acknowledgement.
            setOption(from, IPPROTO_TCP, TCP_QUICKACK);
            const auto bytes = static_cast<std::size_t>(n);
            queue.push_back(Chunk{line.due(arrival, bytes), std::string(buffer.data(), bytes)});
            queued += bytes;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            ended = true;  // the end (or a reset) follows what was read before it
        }
    }
    --m_running;
}

}  // namespace qm::relay
