// SPDX-License-Identifier: GPL-3.0-or-later
#include "nzb/nzbfetcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <thread>

#include "config/appsettings.h"
#include "config/serverentry.h"
#include "decode/outputnames.h"
#include "decode/savedarticle.h"
#include "model/locks.h"
#include "nntp/fillservers.h"
#include "nntp/nntpquitexception.h"
#include "nntp/readerevents.h"
#include "nzb/nzbparser.h"
#include "nzb/segmentdecoder.h"
#include "platform/paths.h"
#include "platform/socket.h"

namespace qm {

struct NzbFetcher::Assembly {
    int file = 0;
    const NzbFile* nzb = nullptr;
    int remaining = 0;  // segments not dealt with yet
    std::string temporaryPath;
    UniqueFd fd;  // the yEnc parts' file while they are written
    bool yenc = false;
    std::uint64_t size = 0;
    std::string name;  // as the yEnc header gives it
    int missing = 0;
    int damaged = 0;
};

NzbFetcher::NzbFetcher(AppSettings& settings, ServerEntry& server, const NzbDocument& document,
                       std::string folder, NzbProgressFile& progress, FileDone onFileDone)
    : m_settings(settings),
      m_server(server),
      m_document(document),
      m_folder(std::move(folder)),
      m_progress(progress),
      m_onFileDone(std::move(onFileDone)) {}

NzbFetcher::~NzbFetcher() = default;

void NzbFetcher::log(std::string_view line) const {
    m_settings.frontend().appendLog(line);
}

void NzbFetcher::fail(std::string text) {
    log(text);
    std::lock_guard lock(m_mutex);
    m_failures.push_back(std::move(text));
}

void NzbFetcher::failFile(std::string text) {
    log(text);
    std::lock_guard lock(m_mutex);
    m_fileFailures.push_back(std::move(text));
}

std::string NzbFetcher::segmentPath(int file, int number) const {
    return joinPath(m_folder, std::string(ProgramNamePrefix) + "-nzb-" + std::to_string(file) +
                                  "-" + std::to_string(number) + ".seg");
}

NzbFetcher::Assembly* NzbFetcher::plan(int index) {
    auto assembly = std::make_unique<Assembly>();
    Assembly& file = *assembly;
    file.file = index;
    file.nzb = &m_document.files[static_cast<std::size_t>(index)];
    file.temporaryPath = joinPath(
        m_folder, std::string(ProgramNamePrefix) + "-nzb-" + std::to_string(index) + ".part");
    file.missing = file.nzb->missingSegments;
    if (auto known = m_progress.yencFiles().find(index); known != m_progress.yencFiles().end()) {
        file.yenc = true;
        file.size = known->second.size;
        file.name = known->second.name;
    }
    ++m_figures.files;
    for (std::size_t i = 0; i < file.nzb->segments.size(); ++i) {
        const NzbSegment& segment = file.nzb->segments[i];
        const NzbProgressFile::Segment key{index, segment.number};
        m_figures.segments += 1;
        m_figures.bytes += segment.bytes;
        if (m_progress.missing().contains(key)) ++file.missing;
        if (m_progress.stored().contains(key) || m_progress.missing().contains(key)) {
            m_figures.segmentsDone += 1;
            m_figures.bytesDone += segment.bytes;
            continue;
        }
        ++file.remaining;
        m_queue.push_back({index, static_cast<int>(i)});
    }
    return m_assemblies.emplace(index, std::move(assembly)).first->second.get();
}

std::vector<std::string> NzbFetcher::run(std::span<const int> files, int connections,
                                         const std::function<bool()>& keepGoing) {
    std::vector<Assembly*> complete;
    for (int index : files) {
        if (index < 0 || static_cast<std::size_t>(index) >= m_document.files.size() ||
            m_progress.finished().contains(index))
            continue;
        if (Assembly* file = plan(index); file->remaining == 0) complete.push_back(file);
    }
    // Stored whole by a run killed before it could name them.
    for (Assembly* file : complete) finish(*file);

    const std::size_t count =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(connections, 1)), m_queue.size());
    // A connection that connects first must not take what the others could fetch meanwhile.
    if (count > 0) m_window = std::clamp<std::size_t>(m_queue.size() / count, 1, Window);
    {
        FillServers probe(m_settings);
        probe.startRun(connections);
        m_fill = !probe.empty();
    }
    runWorkers(count, keepGoing);
    if (!m_stopped.load()) {
        try {
            fillLacking(connections);
        } catch (const std::exception& error) {
            fail(std::string("NZB fetch failed: ") + error.what());
        }
    }

    std::lock_guard lock(m_mutex);
    if (m_stopped.load()) return {};
    std::vector<std::string> failures = std::move(m_fileFailures);
    // A connection that failed costs nothing when the others fetched everything.
    if (m_queue.empty()) return failures;
    failures.insert(failures.end(), m_failures.begin(), m_failures.end());
    failures.push_back(std::to_string(m_queue.size()) +
                       " segments could not be fetched; they are asked for again next time");
    return failures;
}

void NzbFetcher::runWorkers(std::size_t count, const std::function<bool()>& keepGoing) {
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    // The last worker to end wakes the wait at once: the command's end follows.
    std::mutex doneMutex;
    std::condition_variable done;
    std::size_t running = count;  // guarded by doneMutex
    for (std::size_t i = 0; i < count; ++i) {
        Worker& worker = *workers.emplace_back(std::make_unique<Worker>());
        // Running before the thread starts, so that a stop asked at once is not overwritten.
        worker.record.state = WorkerRecord::Running;
        threads.emplace_back([&, this, w = &worker] {
            work(*w);
            std::lock_guard lock(doneMutex);
            if (--running == 0) done.notify_all();
        });
    }
    for (;;) {
        {
            std::lock_guard lock(doneMutex);
            if (running == 0) break;
        }
        // Asked at least once, however quickly the workers end: it also draws the progress.
        if (!m_stopped.load() && keepGoing && !keepGoing()) {
            m_stopped = true;
            for (auto& worker : workers) {
                worker->record.state = WorkerRecord::AbortRequested;
                std::lock_guard lock(worker->mutex);
                if (worker->connection) {
                    worker->connection->setStopping();
                    worker->connection->cancel();
                }
            }
        }
        std::unique_lock lock(doneMutex);
        done.wait_for(lock, std::chrono::milliseconds(20), [&] { return running == 0; });
    }
    for (std::thread& thread : threads) thread.join();
}

void NzbFetcher::work(Worker& worker) {
    ThreadContext::current().worker = &worker.record;
    ReaderEvents events(m_settings, m_run);
    NNTPConnection connection(events, m_run.login);
    connection.setCompression(m_settings.compress != 0);
    connection.setServer(&m_server);
    {
        std::lock_guard lock(worker.mutex);
        worker.connection = &connection;
    }
    try {
        const int error = connection.connect();
        if (error != 0 || connection.state() != NNTPConnection::Ready) {
            fail("Cannot fetch from " + m_server.host + ": " +
                 (error > 0 ? std::string(std::strerror(error)) : connection.lastReply().text()));
        } else {
            fetchOn(connection);
            // Said, not waited for: the goodbye would cost the command's end a round trip.
            (void)connection.sendAhead({"QUIT"});
        }
    } catch (const NNTPQuitException&) {
        // A stop: what was in flight went back to the queue.
    } catch (const SocketError& error) {
        // A stop cancels the connection's reads: that is no loss to report.
        if (!m_stopped.load()) fail("Connection to " + m_server.host + " lost: " + error.what());
    } catch (const std::exception& error) {
        fail(std::string("NZB fetch failed: ") + error.what());
    }
    {
        std::lock_guard lock(worker.mutex);
        worker.connection = nullptr;
    }
    ThreadContext::current().worker = nullptr;
}

bool NzbFetcher::take(Item& item) {
    std::lock_guard lock(m_mutex);
    if (m_queue.empty() || m_stopped.load()) return false;
    item = m_queue.front();
    m_queue.pop_front();
    return true;
}

void NzbFetcher::putBack(std::deque<Item>& items) {
    std::lock_guard lock(m_mutex);
    m_queue.insert(m_queue.begin(), items.begin(), items.end());
    items.clear();
}

// The other half of a connection: decodes and stores what the connection received, in
// order, on a thread of its own. A reader that stopped to decode would leave the line idle
// whenever the far side had filled what it may hold in flight, a round trip each time.
class NzbFetcher::Storer {
  public:
    explicit Storer(NzbFetcher& fetcher) : m_fetcher(fetcher), m_thread([this] { loop(); }) {}
    // Stores what was handed over, then ends; rethrows what storing threw.
    ~Storer() noexcept(false) {
        close();
        if (m_failure && !std::uncaught_exceptions()) std::rethrow_exception(m_failure);
    }
    Storer(const Storer&) = delete;
    Storer& operator=(const Storer&) = delete;

    void close() {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) m_thread.join();
    }
    // Takes body (its buffer is replaced with a used one); waits while Depth wait already.
    // False once storing failed: the connection stops.
    bool hand(const Item& item, std::string& body, bool missing) {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [&] { return m_waiting.size() < Depth || m_failure; });
        if (m_failure) return false;
        std::string buffer;
        if (!m_spare.empty()) {
            buffer = std::move(m_spare.back());
            m_spare.pop_back();
        }
        buffer.swap(body);
        m_waiting.push_back({item, std::move(buffer), missing});
        m_wake.notify_all();
        return true;
    }

  private:
    // Segments received and not stored yet: enough to ride over one slow write.
    static constexpr std::size_t Depth = 4;
    struct Received {
        Item item;
        std::string body;
        bool missing;
    };

    void loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return !m_waiting.empty() || m_closing; });
            if (m_waiting.empty()) return;
            Received received = std::move(m_waiting.front());
            m_waiting.pop_front();
            const bool skip = static_cast<bool>(m_failure);
            lock.unlock();
            m_wake.notify_all();
            std::exception_ptr failure;
            if (!skip) {
                try {
                    m_fetcher.dealWith(received.item, received.body, received.missing);
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            if (skip || failure) {
                // Not stored: another connection (or the next run) fetches it again.
                std::deque<Item> back{received.item};
                m_fetcher.putBack(back);
            }
            received.body.clear();
            lock.lock();
            if (failure && !m_failure) m_failure = failure;
            if (m_spare.size() < Depth + 1) m_spare.push_back(std::move(received.body));
            if (failure) m_wake.notify_all();
        }
    }

    NzbFetcher& m_fetcher;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Received> m_waiting;    // guarded by m_mutex
    std::vector<std::string> m_spare;  // guarded by m_mutex: emptied buffers
    std::exception_ptr m_failure;      // guarded by m_mutex
    bool m_closing = false;            // guarded by m_mutex
    std::thread m_thread;              // last: started once the rest is there
};

void NzbFetcher::dealWith(const Item& item, std::string_view body, bool missing) {
    const NzbFile& file = m_document.files[static_cast<std::size_t>(item.file)];
    const NzbSegment& segment = file.segments[static_cast<std::size_t>(item.segment)];
    if (missing) {
        segmentMissing(item);
    } else {
        store(item, body);
    }
    segmentDealt(item, segment.bytes);
}

void NzbFetcher::fetchOn(NNTPConnection& connection) {
    std::deque<Item> inFlight;
    SavedArticle article;
    article.setMemoryOnly(true);
    auto idOf = [this](const Item& item) {
        const NzbFile& file = m_document.files[static_cast<std::size_t>(item.file)];
        return "<" + file.segments[static_cast<std::size_t>(item.segment)].messageId + ">";
    };
    std::string received;
    try {
        Storer storer(*this);
        for (;;) {
            Item next{};
            while (inFlight.size() < m_window && take(next)) {
                inFlight.push_back(next);
                // ARTICLE, not BODY: a MIME post needs its header to be decoded.
                if (!connection.sendAhead({"ARTICLE " + idOf(next)})) break;
            }
            if (inFlight.empty() || connection.state() != NNTPConnection::Ready) break;
            const Item item = inFlight.front();
            const NzbFile& file = m_document.files[static_cast<std::size_t>(item.file)];
            article.reset();
            article.setSubject(file.subject);
            const NntpReply reply = connection.fetchArticle(idOf(item), article);
            const bool gone = reply.is(ReplyOutcome::NoSuchArticle);
            if (gone && m_fill) {
                // Dealt with once the fill servers were asked.
                std::lock_guard lock(m_mutex);
                m_lacking.push_back(item);
                inFlight.pop_front();
                continue;
            }
            if (reply.ok() || gone) {
                received.clear();
                if (reply.ok()) article.takeText(received);
                if (!storer.hand(item, received, gone)) break;
            } else {
                // A refusal that is no answer about the article (a login wanted, a server
                // error) or a connection cut: the segment waits for the next run.
                if (connection.state() == NNTPConnection::Ready)
                    fail("The server refused " + idOf(item) + ": " + reply.text());
                break;
            }
            inFlight.pop_front();
        }
    } catch (...) {
        putBack(inFlight);
        throw;
    }
    putBack(inFlight);
}

void NzbFetcher::segmentMissing(const Item& item) {
    const NzbFile& file = m_document.files[static_cast<std::size_t>(item.file)];
    {
        std::lock_guard lock(m_mutex);
        ++m_assemblies.at(item.file)->missing;
    }
    (void)m_progress.record(
        'M', item.file,
        std::to_string(file.segments[static_cast<std::size_t>(item.segment)].number));
    ++m_figures.segmentsMissing;
}

void NzbFetcher::fillLacking(int connections) {
    std::vector<Item> lacking;
    {
        std::lock_guard lock(m_mutex);
        lacking.swap(m_lacking);
    }
    if (lacking.empty()) return;
    std::vector<std::string> ids;
    for (const Item& item : lacking) {
        const NzbFile& file = m_document.files[static_cast<std::size_t>(item.file)];
        ids.push_back("<" + file.segments[static_cast<std::size_t>(item.segment)].messageId + ">");
    }
    FillServers fill(m_settings);
    fill.startRun(connections);
    SavedArticle article;
    article.setMemoryOnly(true);
    const std::vector<bool> found = fill.fetch(
        nullptr, ids, article, [&](std::size_t i) { store(lacking[i], article.text()); });
    fill.closeAll();
    for (std::size_t i = 0; i < lacking.size(); ++i) {
        const Item& item = lacking[i];
        const NzbFile& file = m_document.files[static_cast<std::size_t>(item.file)];
        if (!found[i]) segmentMissing(item);
        segmentDealt(item, file.segments[static_cast<std::size_t>(item.segment)].bytes);
    }
}

void NzbFetcher::store(const Item& item, std::string_view body) {
    const NzbFile& nzb = m_document.files[static_cast<std::size_t>(item.file)];
    const int number = nzb.segments[static_cast<std::size_t>(item.segment)].number;
    const std::string where = nzb.subject + ", segment " + std::to_string(number);
    DecodedSegment segment = decodeSegment(body);
    Assembly* file = nullptr;
    int fd = -1;
    std::uint64_t size = 0;
    {
        std::lock_guard lock(m_mutex);
        file = m_assemblies.at(item.file).get();
        if (segment.yenc) {
            if (!file->yenc) {
                file->yenc = true;
                file->size = segment.size;
                file->name = segment.name;
                (void)m_progress.record('Y', item.file,
                                        std::to_string(segment.size) + " " + segment.name);
            }
            if (!file->fd)
                file->fd = UniqueFd(
                    ::open(file->temporaryPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
            fd = file->fd.get();
            size = file->size;
            // A part placed beyond the size its file was first given is not written.
            if (segment.size != file->size || !segment.crcOk ||
                segment.offset + segment.data.size() > file->size) {
                ++file->damaged;
                if (segment.problem.empty()) segment.problem = "it does not fit its file";
            }
        } else if (file->yenc || body.empty()) {
            ++file->damaged;
            segment.problem = body.empty() ? "it could not be received" : "it is not yEnc";
        }
    }
    if (!segment.problem.empty()) log(where + ": " + segment.problem);
    if (segment.yenc && segment.offset + segment.data.size() <= size) {
        if (fd < 0) throw NNTPQuitException("Fail to write " + file->temporaryPath, "");
        std::size_t done = 0;
        while (done < segment.data.size()) {
            const ssize_t n = ::pwrite(fd, segment.data.data() + done, segment.data.size() - done,
                                       static_cast<off_t>(segment.offset + done));
            if (n <= 0) {
                fail("Fail to write " + file->temporaryPath + " (" + std::strerror(errno) + ")");
                throw NNTPQuitException("Fail to write", file->temporaryPath);
            }
            done += static_cast<std::size_t>(n);
        }
    } else if (!segment.yenc && !body.empty()) {
        // The segments are joined into one article: only the first keeps its header.
        if (number != nzb.segments.front().number)
            if (const auto end = body.find("\n\n"); end != std::string_view::npos)
                body.remove_prefix(end + 2);
        if (!writeFileAtomic(segmentPath(item.file, number), body)) {
            fail("Fail to write " + segmentPath(item.file, number) + " (" + std::strerror(errno) +
                 ")");
            throw NNTPQuitException("Fail to write", segmentPath(item.file, number));
        }
    }
    if (!m_progress.record('S', item.file, std::to_string(number)))
        throw NNTPQuitException("Fail to write", NzbProgressFileName);
    // Retrieved as a group run's articles are: a run that meets it in a group skips it.
    const std::string id =
        "<" + nzb.segments[static_cast<std::size_t>(item.segment)].messageId + ">";
    std::lock_guard lock(DecodeLock);
    (void)m_settings.messageIds.add(id, true);
}

void NzbFetcher::segmentDealt(const Item& item, std::int64_t bytes) {
    ++m_figures.segmentsDone;
    m_figures.bytesDone += bytes;
    Assembly* file = nullptr;
    {
        std::lock_guard lock(m_mutex);
        Assembly& assembly = *m_assemblies.at(item.file);
        if (--assembly.remaining == 0) file = &assembly;
    }
    if (file) finish(*file);
}

bool NzbFetcher::decodeArticle(const Assembly& file, std::string& text, std::string& path) {
    // The program's decoder (MIME and the rest) writes below a hidden staging folder's
    // "news.dat"; what it made is then named in the NZB's folder.
    const std::string staging = joinPath(m_folder, std::string(ProgramNamePrefix) + "-nzb-decode");
    DecodeInputs inputs;
    inputs.dataDirectory = m_settings.dataDirectory;
    inputs.outputDirectory = staging;
    inputs.log = &m_settings.logFile;
    DecodeResult result;
    if (FilePtr in{::fmemopen(text.data(), text.size(), "r")}) {
        std::lock_guard lock(DecodeLock);
        result = m_decoder.decodeArticle(std::move(in), inputs, true, false, false);
    }
    std::vector<std::string> made;
    std::error_code error;
    const std::string news = joinPath(staging, "news.dat");
    for (const auto& entry : std::filesystem::directory_iterator(news, error)) {
        const std::string name = entry.path().filename();
        if (!name.starts_with('.') && !name.ends_with(".desc")) made.push_back(name);
    }
    std::sort(made.begin(), made.end());
    for (const std::string& name : made) {
        const std::string target = namedPath(name, file.file);
        if (std::rename(joinPath(news, name).c_str(), target.c_str()) == 0 && path.empty())
            path = target;
    }
    std::filesystem::remove_all(staging, error);
    if (result.outputFailed()) failFile("Fail to write " + result.path);
    if (path.empty()) log(file.nzb->subject + ": nothing in it could be decoded");
    return !path.empty();
}

std::string NzbFetcher::namedPath(std::string_view wanted, int file) const {
    std::string name = safeOutputName(wanted, fileNameLimit(m_folder));
    if (name.empty()) name = "file" + std::to_string(file + 1);
    std::string path = joinPath(m_folder, name);
    for (int n = 1; fileExists(path); ++n)
        path = joinPath(m_folder, fitFileName(std::to_string(n) + "_" + name));
    return path;
}

void NzbFetcher::finish(Assembly& file) {
    // One at a time: two files of the same name must not both take it.
    std::lock_guard done(m_doneMutex);
    std::string path;
    if (!(file.yenc ? finishYenc(file, path) : finishOther(file, path))) return;
    if (!m_progress.record('D', file.file, std::string(baseName(path))))
        failFile("Fail to write " + joinPath(m_folder, NzbProgressFileName));
    ++m_figures.filesDone;
    FetchedFile fetched{file.file,         path,
                        file.nzb->subject, file.nzb->segments.front().messageId,
                        file.missing,      file.damaged};
    if (m_onFileDone) m_onFileDone(fetched);
}

bool NzbFetcher::finishYenc(Assembly& file, std::string& path) {
    {
        std::lock_guard lock(m_mutex);
        file.fd.reset();
    }
    // Parts that never came leave zeros, and the file its full size: par2 repairs it so.
    if (::truncate(file.temporaryPath.c_str(), static_cast<off_t>(file.size)) != 0) {
        log(file.nzb->subject + ": nothing of it could be fetched");
        return false;
    }
    path = namedPath(file.name.empty() ? nzbFileName(file.nzb->subject) : file.name, file.file);
    if (std::rename(file.temporaryPath.c_str(), path.c_str()) != 0) {
        failFile("Fail to write " + path + " (" + std::strerror(errno) + ")");
        return false;
    }
    return true;
}

bool NzbFetcher::finishOther(Assembly& file, std::string& path) {
    std::string text;
    std::vector<std::string> parts;
    for (const NzbSegment& segment : file.nzb->segments) {
        parts.push_back(segmentPath(file.file, segment.number));
        if (auto part = readWholeFile(parts.back())) text += *part;
    }
    auto removeParts = [&] {
        for (const std::string& part : parts) std::remove(part.c_str());
    };
    if (text.empty()) {
        log(file.nzb->subject + ": nothing of it could be fetched");
        return false;
    }
    std::optional<UudecodedFile> decoded = uudecodeText(text);
    if (!decoded) {
        const bool found = decodeArticle(file, text, path);
        removeParts();
        return found;
    }
    path = namedPath(decoded->name.empty() ? nzbFileName(file.nzb->subject) : decoded->name,
                     file.file);
    if (!writeFileAtomic(path, decoded->data)) {
        failFile("Fail to write " + path + " (" + std::strerror(errno) + ")");
        return false;
    }
    removeParts();
    return true;
}

}  // namespace qm
