#include "host/socket_server.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/channel_host.h"
#include "host/client_memory.h"
#include "platform/kernel/object.h"
#include "pav512/buffers.h"
#include "platform/user/channel_protocol.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;
// Distinct event handles one connection may register.
constexpr std::size_t kMaxClientEvents = 1024;
// Descriptors a client may have passed ahead of the messages that use them.
constexpr std::size_t kMaxPassedFds = 4;

struct Connection;

// Where a forwarding event sends its signal: the connection and the client's
// handle, looked up by key, so a signal that comes after the connection ended
// finds nothing instead of a freed connection.
class EventRoutes {
  public:
    static EventRoutes& instance() {
        static EventRoutes* r = new EventRoutes();
        return *r;
    }
    std::uintptr_t add(std::weak_ptr<Connection> connection, std::uint32_t handle) {
        std::lock_guard<std::mutex> g(lock_);
        std::uintptr_t key = next_++;
        routes_[key] = {std::move(connection), handle};
        return key;
    }
    void remove(std::uintptr_t key) {
        std::lock_guard<std::mutex> g(lock_);
        routes_.erase(key);
    }
    bool find(std::uintptr_t key, std::shared_ptr<Connection>* connection, std::uint32_t* handle) {
        std::lock_guard<std::mutex> g(lock_);
        auto it = routes_.find(key);
        if (it == routes_.end()) return false;
        *connection = it->second.first.lock();
        *handle = it->second.second;
        return *connection != nullptr;
    }

  private:
    std::mutex lock_;
    std::map<std::uintptr_t, std::pair<std::weak_ptr<Connection>, std::uint32_t>> routes_;
    std::uintptr_t next_ = 1;
};

void forwardSignal(void* context);

// A client's event handles as the driver sees them: each handle value stands
// for one forwarding event, the same object for every request of the
// connection, so that a clear finds what a set registered.
class RemoteClientTable : public kobj::ClientObjectTable {
  public:
    void bind(std::weak_ptr<Connection> connection) { connection_ = std::move(connection); }
    std::shared_ptr<Connection> connection() const { return connection_.lock(); }

    NTSTATUS referenceEvent(std::uint32_t handle, PKEVENT* event) override {
        std::lock_guard<std::mutex> g(lock_);
        auto it = events_.find(handle);
        if (it == events_.end()) {
            if (events_.size() >= kMaxClientEvents) return STATUS_INSUFFICIENT_RESOURCES;
            std::uintptr_t key = EventRoutes::instance().add(connection_, handle);
            PKEVENT ev = kobj::createForwardingEvent(forwardSignal, reinterpret_cast<void*>(key));
            if (!ev) {
                EventRoutes::instance().remove(key);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            it = events_.emplace(handle, Entry{ev, key}).first;
        }
        ObfReferenceObject(it->second.event);
        *event = it->second.event;
        return STATUS_SUCCESS;
    }

    void release() {
        std::map<std::uint32_t, Entry> entries;
        {
            std::lock_guard<std::mutex> g(lock_);
            entries.swap(events_);
        }
        for (auto& [handle, e] : entries) {
            EventRoutes::instance().remove(e.key);
            ObfDereferenceObject(e.event);
        }
    }

  private:
    struct Entry {
        PKEVENT event;
        std::uintptr_t key;
    };
    std::mutex lock_;
    std::weak_ptr<Connection> connection_;
    std::map<std::uint32_t, Entry> events_;
};

enum class State { AwaitHello, AwaitOpen, Open, Finished };

// What a client may send in each state, and how long each kind may be.
uproto::KindLimits limitsFor(State state) {
    using uproto::Kind;
    uproto::KindLimits l;
    switch (state) {
        case State::AwaitHello:
            return l.allow(Kind::Hello, 8);
        case State::AwaitOpen:
            return l.allow(Kind::Open, uproto::kMaxPathLength).allow(Kind::Enumerate, sizeof(GUID));
        case State::Open:
            return l.allow(Kind::Request, 20 + uproto::kMaxBuffer)
                .allow(Kind::Cancel, 8)
                .allow(Kind::CancelAll, 0)
                .allow(Kind::ShareMemory, 16)
                .allow(Kind::RequestShared, 28 + uproto::kMaxSharedHead)
                .allow(Kind::UnshareMemory, 4);
        case State::Finished:
            return l;
    }
    return l;
}

constexpr std::uint64_t kWakeToken = 0;

// The server whose loop this thread runs now, if any.
thread_local SocketServer::Impl* tlsLeader = nullptr;
constexpr std::uint64_t kListenToken = 1;

// How long a request run on the loop's own thread may keep it before another
// thread takes the loop over.
constexpr auto kInlineGrace = std::chrono::milliseconds(2);
// How long the loop looks for the next request after answering one before it
// sleeps.
constexpr auto kLookAfterAnswer = std::chrono::microseconds(50);

// A connection's work, run in order on the pool. A request may also run on
// the loop's own thread (see runInline); the rest may wait on other threads
// for long and never does.
struct Job {
    std::function<void()> run;
    bool mayRunInline = false;
};

// The loop's thread running a request itself, until the request keeps it
// past the grace or waits for room, when the loop is handed to another
// thread. Under the pool's lock.
struct InlineRun {
    Clock::time_point started;
    bool handedOff = false;
};
thread_local InlineRun* tlsInline = nullptr;
// Requests this thread has answered; the loop looks for the next request
// only after a run of its own that answered one.
thread_local std::uint64_t tlsAnswered = 0;

struct Connection {
    std::uint64_t id = 0;
    int fd = -1;
    SocketServer::Impl* server = nullptr;

    // Loop thread only.
    uproto::FrameReader reader;
    State state = State::AwaitHello;
    Clock::time_point deadline = Clock::time_point::max();
    std::size_t inputCharged = 0;  // the reader's allocation, as charged to the budget
    bool writeArmed = false;
    // Memory the client shares, by its number, and descriptors it passed
    // that no ShareMemory has used yet.
    std::map<std::uint32_t, std::shared_ptr<ClientMemory>> memory;
    std::deque<int> passedFds;

    // Budget (Impl::budgetLock).
    std::size_t held = 0;
    std::size_t wanting = 0;  // asked for by a request waiting for room
    bool dropped = false;

    std::mutex outLock;
    std::deque<std::vector<std::uint8_t>> out;
    std::size_t outOffset = 0;
    std::size_t outBytes = 0;
    bool closed = false;  // no more output once the connection is being closed

    std::atomic<bool> failed{false};          // to be dropped by the loop (set from any thread)
    std::atomic<bool> endAfterOutput{false};  // dropped once what is queued has been sent
    std::atomic<bool> protocolError{false};
    std::atomic<bool> overBounds{false};
    std::atomic<std::size_t> inFlight{0};  // requests taken and not yet answered

    // Dispatch: run in order, one at a time, on the pool.
    std::deque<Job> jobs;
    bool scheduled = false;

    std::unique_ptr<HostChannel> channel;  // dispatch threads only
    RemoteClientTable table;

    // `prepaid` of the bytes were reserved against the budget before they
    // were made; the reservation becomes the queued output's charge, or is
    // given back when nothing is queued.
    void send(std::vector<std::uint8_t> bytes, std::size_t prepaid = 0);
    // The same for a frame in two parts, written from where they are; only
    // what the socket does not take at once is copied to be queued.
    void send(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* body,
              std::size_t bodyLength, std::size_t prepaid);
};

}  // namespace

struct SocketServer::Impl {
    Options options;
    int listenFd = -1;
    int lockFd = -1;  // held for as long as this host owns the socket path
    int wakeFd = -1;
    int epollFd = -1;
    int spareFd = -1;  // given up to refuse a connection when descriptors run out
    std::vector<epoll_event> events = std::vector<epoll_event>(256);  // the loop's
    std::atomic<bool> stopping{false};
    std::atomic<bool> acceptStopped{false};
    bool stopped = false;
    std::atomic<std::uint64_t> protocolErrors{0};
    std::atomic<std::uint64_t> sharedAnswers{0};
    std::atomic<std::uint64_t> boundsExceeded{0};
    std::uint64_t nextId = 2;
    bool listening = false;
    Clock::time_point resumeListening = Clock::time_point::max();

    std::mutex connLock;
    std::vector<std::shared_ptr<Connection>> adopted;    // waiting for the loop
    std::vector<std::shared_ptr<Connection>> attention;  // output queued or failed
    std::unordered_map<std::uint64_t, std::shared_ptr<Connection>> connections;  // loop thread
    std::set<std::pair<Clock::time_point, std::uint64_t>> deadlines;              // loop thread
    std::atomic<std::size_t> live{0};

    std::mutex budgetLock;
    std::condition_variable budgetCv;  // bytes came back, or a waiter's connection went
    std::size_t used = 0;
    std::size_t usedByDropped = 0;  // will come back as those connections close
    std::size_t wanted = 0;         // asked for by requests waiting for room
    std::atomic<bool> overBudget{false};

    std::mutex flightLock;
    std::condition_variable flightCv;
    std::size_t inFlightTotal = 0;

    std::mutex poolLock;
    std::condition_variable poolCv;
    std::condition_variable drainedCv;
    std::deque<std::shared_ptr<Connection>> ready;
    std::size_t running = 0;
    std::size_t idle = 0;
    bool poolStop = false;
    std::map<std::thread::id, std::thread> workers;
    bool leading = false;       // a thread runs the loop
    bool leaderWanted = false;  // the loop waits for a thread to take it
    std::condition_variable leaderDone;
    std::shared_ptr<Connection> inlineCandidate;  // posted by the loop, to run on its thread
    InlineRun* currentInline = nullptr;           // a request run on the loop's thread
    int inlineWatchTimer = -1;  // the watch's timer: armed while a request runs inline
    Clock::time_point inlineWatchDue = Clock::time_point::max();  // when it goes off
    std::thread inlineWatch;
    std::vector<std::thread> finished;  // workers that left, to be joined

    void wake() {
        std::uint64_t one = 1;
        ssize_t n = ::write(wakeFd, &one, sizeof one);
        (void)n;
    }

    // --- memory budget -----------------------------------------------------

    void charge(Connection& c, std::size_t bytes) {
        bool over;
        {
            std::lock_guard<std::mutex> g(budgetLock);
            c.held += bytes;
            used += bytes;
            if (c.dropped) usedByDropped += bytes;
            over = used - usedByDropped + wanted > options.limits.memoryBudget;
        }
        if (over && !overBudget.exchange(true)) wake();
    }
    void release(Connection& c, std::size_t bytes) {
        if (bytes == 0) return;
        std::lock_guard<std::mutex> g(budgetLock);
        c.held -= bytes;
        used -= bytes;
        if (c.dropped) usedByDropped -= bytes;
        budgetCv.notify_all();
    }

    enum class Reservation { Taken, Dropped, Refused };

    // Takes `bytes` of the budget for buffers a request is about to make (its
    // system buffer and its reply), before they exist, so that what the host
    // really holds stays within the budget however many threads make
    // replies at once. Without room the request waits while the loop closes
    // the connections holding the most (this one, if it is the greediest) and
    // while closed connections give their memory back; a request that still
    // finds no room after the message deadline is refused.
    Reservation reserve(Connection& c, std::size_t bytes) {
        std::unique_lock<std::mutex> g(budgetLock);
        const std::size_t budget = options.limits.memoryBudget;
        auto fits = [&] { return used + bytes <= budget; };
        if (!c.dropped && !fits()) {
            // The loop must run to make room: it is not this thread's to hold.
            if (tlsInline) {
                g.unlock();
                handOffLoop(tlsInline);
                g.lock();
            }
        }
        if (!c.dropped && !fits()) {
            c.wanting += bytes;
            wanted += bytes;
            if (!overBudget.exchange(true)) wake();
            budgetCv.wait_until(g, Clock::now() + options.limits.messageDeadline,
                                [&] { return c.dropped || stopping || fits(); });
            // A drop has already taken back what this connection wanted.
            if (!c.dropped) {
                c.wanting -= bytes;
                wanted -= bytes;
            }
        }
        if (c.dropped) return Reservation::Dropped;
        if (!fits()) return Reservation::Refused;
        c.held += bytes;
        used += bytes;
        return Reservation::Taken;
    }

    // Loop thread: closes the connections holding the most until what the
    // others hold fits again. A client that asks for much and reads nothing
    // is the one that goes, not the one that asks for a little next.
    void enforceBudget() {
        if (!overBudget.exchange(false)) return;
        for (;;) {
            std::shared_ptr<Connection> largest;
            {
                std::lock_guard<std::mutex> g(budgetLock);
                if (used - usedByDropped + wanted <= options.limits.memoryBudget) return;
                std::size_t most = 0;
                for (auto& [id, c] : connections)
                    if (!c->dropped && c->held + c->wanting > most) {
                        most = c->held + c->wanting;
                        largest = c;
                    }
            }
            if (!largest) return;
            exceeded(largest);
            drop(largest);
        }
    }

    // --- requests in flight ------------------------------------------------

    void requestTaken(Connection& c) {
        c.inFlight.fetch_add(1);
        std::lock_guard<std::mutex> g(flightLock);
        ++inFlightTotal;
    }
    void requestDone(Connection& c) {
        ++tlsAnswered;
        c.inFlight.fetch_sub(1);
        std::lock_guard<std::mutex> g(flightLock);
        if (--inFlightTotal == 0) flightCv.notify_all();
    }

    // --- dispatch pool -----------------------------------------------------

    void post(const std::shared_ptr<Connection>& c, std::function<void()> job,
              bool mayRunInline = false) {
        std::lock_guard<std::mutex> g(poolLock);
        c->jobs.push_back(Job{std::move(job), mayRunInline});
        if (c->scheduled) return;
        c->scheduled = true;
        // A request posted by the loop while it handles its events: the
        // loop's thread runs it itself once done with them (runInline), so a
        // request the driver completes at once is answered without crossing
        // to another thread.
        if (mayRunInline && tlsLeader == this && !(tlsInline && tlsInline->handedOff) &&
            !inlineCandidate) {
            inlineCandidate = c;
            return;
        }
        schedule(c);
    }

    // Puts a connection with work on the pool's list. poolLock held.
    void schedule(const std::shared_ptr<Connection>& c) {
        ready.push_back(c);
        // Every thread is busy (some perhaps blocked in the driver): one more,
        // so that this connection does not wait for another's request.
        if (idle < ready.size() && workers.size() < options.maxDispatchThreads && !poolStop)
            spawnWorker();
        else
            poolCv.notify_one();
    }

    void spawnWorker() {  // poolLock held
        std::thread t([this] {
            pthread_setname_np(pthread_self(), "host-pool");
            worker();
        });
        std::thread::id id = t.get_id();
        workers.emplace(id, std::move(t));
    }

    void worker() {
        std::unique_lock<std::mutex> g(poolLock);
        for (;;) {
            ++idle;
            bool woken = poolCv.wait_for(g, std::chrono::seconds(10), [&] {
                return poolStop || !ready.empty() || (leaderWanted && !stopping);
            });
            --idle;
            if (leaderWanted && !stopping && !poolStop) {
                leaderWanted = false;
                leading = true;
                g.unlock();
                lead();
                g.lock();
                continue;
            }
            if (ready.empty()) {
                // Threads started for blocked requests go once they are idle.
                // At the stop, the stopping thread joins every worker.
                if (poolStop) return;
                if (!woken && workers.size() > minimumWorkers()) {
                    auto it = workers.find(std::this_thread::get_id());
                    if (it != workers.end()) {
                        finished.push_back(std::move(it->second));
                        workers.erase(it);
                    }
                    return;
                }
                continue;
            }
            for (std::thread& t : finished) t.join();
            finished.clear();
            std::shared_ptr<Connection> c = ready.front();
            ready.pop_front();
            Job job = std::move(c->jobs.front());
            c->jobs.pop_front();
            ++running;
            g.unlock();
            job.run();
            job.run = nullptr;
            g.lock();
            --running;
            if (!c->jobs.empty()) {
                ready.push_back(c);
                if (idle == 0 && workers.size() < options.maxDispatchThreads && !poolStop)
                    spawnWorker();
                else
                    poolCv.notify_one();
            } else {
                c->scheduled = false;
                if (c->endAfterOutput) needsAttention(c);
            }
            if (ready.empty() && running == 0) drainedCv.notify_all();
        }
    }

    // The thread that runs the loop: until the stop, or until a request it
    // runs itself keeps it (see runInline), when another thread goes on with
    // the loop.
    void lead() {
        tlsLeader = this;
        listen();
        Clock::time_point lookUntil = Clock::time_point::min();
        while (!stopping) {
            loopOnce(lookUntil);
            lookUntil = Clock::time_point::min();
            std::shared_ptr<Connection> c;
            {
                std::lock_guard<std::mutex> g(poolLock);
                c = std::move(inlineCandidate);
                inlineCandidate.reset();
                if (c && (stopping || poolStop)) {
                    schedule(c);
                    c.reset();
                }
            }
            const std::uint64_t answeredBefore = tlsAnswered;
            if (c && !runInline(c)) {
                tlsLeader = nullptr;  // the loop went to another thread
                return;
            }
            // A request left pending in the driver (a video read waiting
            // for its frame) is answered from another thread later, and the
            // client's next request follows that answer, not this run: no
            // looking for it here, which would only burn the processor.
            if (c && tlsAnswered != answeredBefore) lookUntil = Clock::now() + kLookAfterAnswer;
        }
        tlsLeader = nullptr;
        std::lock_guard<std::mutex> g(poolLock);
        leading = false;
        leaderDone.notify_all();
    }

    // Runs a connection's requests on the loop's thread, which stays the
    // loop's while they complete at once or sleep only briefly; the first
    // that sleeps for long (in the driver's waits) or waits for room hands
    // the loop to another thread first and is finished by this one as a
    // pool thread would. Work that is no request goes to the pool. True when
    // this thread still runs the loop.
    bool runInline(const std::shared_ptr<Connection>& c) {
        InlineRun run;
        std::unique_lock<std::mutex> g(poolLock);
        run.started = Clock::now();
        currentInline = &run;
        tlsInline = &run;
        const std::uint64_t answeredBefore = tlsAnswered;
        // A timer that goes off before this run's grace ends is left as it
        // is: the watch then looks at this run and waits out the rest.
        const auto graceEnds = run.started + kInlineGrace;
        if (inlineWatchDue > graceEnds) armInlineWatch(graceEnds);
        while (!c->jobs.empty() && (run.handedOff || c->jobs.front().mayRunInline)) {
            Job job = std::move(c->jobs.front());
            c->jobs.pop_front();
            ++running;
            g.unlock();
            job.run();
            job.run = nullptr;
            g.lock();
            --running;
        }
        currentInline = nullptr;
        tlsInline = nullptr;
        // A run that left its request pending (a read waiting for a frame)
        // is likely the last for a while: the timer is disarmed, so the
        // watch does not wake for nothing. After one that answered, the
        // next request is likely close behind and finds the timer armed.
        if (tlsAnswered == answeredBefore) armInlineWatch(Clock::time_point::max());
        if (c->jobs.empty()) {
            c->scheduled = false;
            if (c->endAfterOutput) needsAttention(c);
        } else {
            schedule(c);
        }
        if (ready.empty() && running == 0) drainedCv.notify_all();
        return !run.handedOff;
    }

    // The loop's thread, busy with a request that keeps it: another thread
    // takes the loop over, the busy one finishes the request as a pool
    // thread would. From the busy thread or the watch.
    void handOffLoop(InlineRun* run) {
        std::lock_guard<std::mutex> g(poolLock);
        handOffLocked(run);
    }
    void handOffLocked(InlineRun* run) {  // poolLock held
        if (run->handedOff) return;
        run->handedOff = true;
        leading = false;
        if (!stopping) {
            leaderWanted = true;
            // With every thread in use, the first to come free takes the loop.
            if (idle == 0 && workers.size() < options.maxDispatchThreads && !poolStop)
                spawnWorker();
            else
                poolCv.notify_one();
        }
        leaderDone.notify_all();
    }

    // Arms the watch's timer to go off at `due` (max: disarms it). poolLock
    // held, so that the watch, which checks under it, sees the run the timer
    // was armed for or none.
    void armInlineWatch(Clock::time_point due) {
        if (due == inlineWatchDue) return;
        itimerspec t{};
        if (due != Clock::time_point::max()) {
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now()).count();
            if (ns < 1) ns = 1;  // zero would disarm it
            t.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
            t.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        ::timerfd_settime(inlineWatchTimer, 0, &t, nullptr);
        inlineWatchDue = due;
    }

    // The watch over requests run on the loop's thread: one that keeps it
    // past the grace (blocked in the driver, say) loses the loop to another
    // thread, so the other connections are served on. A run makes sure a
    // timer goes off by the end of its grace, and one that leaves its request
    // pending disarms it: the watch wakes for a run that outlasts its grace,
    // at most once per grace while requests keep coming, and never for a
    // video reader's reads. A watch woken for each run cost a host streaming
    // video two wake-ups a frame; a timer set and cleared for each run cost
    // a ping-pong of requests two system calls each.
    void watchInline() {
        for (;;) {
            std::uint64_t expiries = 0;
            const ssize_t n = ::read(inlineWatchTimer, &expiries, sizeof expiries);
            std::lock_guard<std::mutex> g(poolLock);
            if (poolStop) return;
            if (n < 0 && errno != EINTR && errno != EAGAIN) return;
            if (n > 0) inlineWatchDue = Clock::time_point::max();  // gone off, not armed
            if (!currentInline || currentInline->handedOff) continue;
            // The timer may have gone off for a run that ended before this
            // one started: this one gets what is left of its grace.
            const auto due = currentInline->started + kInlineGrace;
            if (Clock::now() >= due)
                handOffLocked(currentInline);
            else
                armInlineWatch(due);
        }
    }

    std::size_t minimumWorkers() const {
        return options.dispatchThreads ? options.dispatchThreads : 1;
    }

    // --- connections -------------------------------------------------------

    void fail(const std::shared_ptr<Connection>& c, bool protocol) {
        if (protocol) c->protocolError = true;
        c->failed = true;
        needsAttention(c);
    }

    void exceeded(const std::shared_ptr<Connection>& c) {
        c->overBounds = true;
        c->failed = true;
    }

    void needsAttention(const std::shared_ptr<Connection>& c) {
        {
            std::lock_guard<std::mutex> g(connLock);
            attention.push_back(c);
        }
        wake();
    }

    void setDeadline(const std::shared_ptr<Connection>& c, Clock::time_point when) {
        if (c->deadline == when) return;
        if (c->deadline != Clock::time_point::max()) deadlines.erase({c->deadline, c->id});
        c->deadline = when;
        if (when != Clock::time_point::max()) deadlines.insert({when, c->id});
    }

    // Loop thread: forget the socket and close the connection on the pool,
    // after whatever it already queued.
    void drop(std::shared_ptr<Connection> c) {
        if (c->state == State::Finished && !connections.count(c->id)) return;
        if (c->protocolError) protocolErrors.fetch_add(1);
        if (c->overBounds) boundsExceeded.fetch_add(1);
        connections.erase(c->id);
        setDeadline(c, Clock::time_point::max());
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, c->fd, nullptr);
        c->state = State::Finished;
        std::size_t queued;
        {
            std::lock_guard<std::mutex> g(c->outLock);
            c->closed = true;
            c->out.clear();
            queued = c->outBytes;
            c->outBytes = 0;
        }
        c->reader = uproto::FrameReader();
        for (int fd : c->passedFds) ::close(fd);
        c->passedFds.clear();
        c->memory.clear();  // requests in the driver keep theirs until they end
        {
            std::lock_guard<std::mutex> g(budgetLock);
            c->dropped = true;
            usedByDropped += c->held;
            wanted -= c->wanting;
            c->wanting = 0;
            budgetCv.notify_all();
        }
        release(*c, queued + c->inputCharged);
        c->inputCharged = 0;
        post(c, [this, c] { closeConnection(c); });
    }

    void closeConnection(const std::shared_ptr<Connection>& c) {
        if (c->channel) {
            c->channel->close();
            c->channel.reset();
        }
        c->table.release();
        ::close(c->fd);
        {
            // Whatever is left (nothing, once the channel has closed).
            std::lock_guard<std::mutex> g(budgetLock);
            used -= c->held;
            usedByDropped -= c->held;
            c->held = 0;
        }
        live.fetch_sub(1);
    }

    void accept() {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE) outOfDescriptors();
                return;
            }
            if (live.load() >= options.limits.maxConnections ||
                (options.checkPeerCredentials &&
                 !PeerPolicy(::geteuid(), options.group).admits(peerIdentityOf(fd)))) {
                ::close(fd);
                continue;
            }
            addConnection(fd);
        }
    }

    // The connection waiting cannot be taken: refuse it with the descriptor
    // kept for this, so that the listening socket does not stay readable and
    // spin the loop; with no spare left, stop listening for a moment.
    void outOfDescriptors() {
        if (spareFd >= 0) {
            ::close(spareFd);
            spareFd = -1;
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) ::close(fd);
            spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (spareFd >= 0) return;
        }
        if (listening) {
            ::epoll_ctl(epollFd, EPOLL_CTL_DEL, listenFd, nullptr);
            listening = false;
        }
        resumeListening = Clock::now() + std::chrono::milliseconds(100);
    }

    void listen() {
        if (listenFd < 0 || listening || acceptStopped) return;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kListenToken;
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev) == 0) listening = true;
        resumeListening = Clock::time_point::max();
        if (spareFd < 0) spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }

    std::shared_ptr<Connection> makeConnection(int fd) {
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->server = this;
        c->table.bind(c);
        c->reader.limit(limitsFor(State::AwaitHello));
        return c;
    }

    void addConnection(int fd) {
        live.fetch_add(1);
        insert(makeConnection(fd));
    }

    void insert(const std::shared_ptr<Connection>& c) {
        c->id = nextId++;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = c->id;
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, c->fd, &ev) != 0) {
            post(c, [this, c] { closeConnection(c); });
            return;
        }
        connections[c->id] = c;
        setDeadline(c, Clock::now() + options.limits.setupDeadline);
    }

    void enter(const std::shared_ptr<Connection>& c, State state) {
        c->state = state;
        c->reader.limit(limitsFor(state));
        if (state == State::Open || state == State::Finished)
            setDeadline(c, Clock::time_point::max());
    }

    void handle(const std::shared_ptr<Connection>& c, uproto::Message& m) {
        using uproto::Kind;
        switch (c->state) {
            case State::AwaitHello: {
                auto h = uproto::decodeHello(m.payload);
                if (!h || h->magic != uproto::kMagic) return fail(c, true);
                c->send(uproto::encodeHello());
                // A client of another version learns ours from the reply and
                // the connection ends here.
                if (h->version != uproto::kVersion) {
                    c->endAfterOutput = true;
                    enter(c, State::Finished);
                    needsAttention(c);
                    return;
                }
                enter(c, State::AwaitOpen);
                return;
            }
            case State::AwaitOpen:
                if (m.kind == Kind::Open) {
                    auto path = uproto::decodeOpen(m.payload);
                    if (!path) return fail(c, true);
                    enter(c, State::Open);
                    post(c, [c, p = *path] {
                        NTSTATUS st = HostChannel::open(p, &c->table, &c->channel);
                        // After a failed open the client only closes; a request
                        // would find no channel and end the connection.
                        c->send(uproto::encodeOpenReply(st));
                    });
                    return;
                }
                {
                    auto guid = uproto::decodeEnumerate(m.payload);
                    if (!guid) return fail(c, true);
                    enter(c, State::Finished);
                    c->endAfterOutput = true;
                    post(c, [c, g = *guid] {
                        c->send(uproto::encodeEnumerateReply(enabledInterfacePaths(g)));
                    });
                    return;
                }
            case State::Open:
                if (m.kind == Kind::Request) return request(c, m);
                if (m.kind == Kind::RequestShared) return requestShared(c, m);
                if (m.kind == Kind::ShareMemory) return shareMemory(c, m);
                if (m.kind == Kind::UnshareMemory) {
                    auto area = uproto::decodeUnshareMemory(m.payload);
                    if (!area) return fail(c, true);
                    c->memory.erase(*area);
                    return;
                }
                if (m.kind == Kind::Cancel) {
                    auto id = uproto::decodeCancel(m.payload);
                    if (!id) return fail(c, true);
                    post(c, [c, i = *id] {
                        if (c->channel) c->channel->cancel(i);
                    });
                    return;
                }
                post(c, [c] {
                    if (c->channel) c->channel->cancelAll();
                });
                return;
            case State::Finished:
                return fail(c, true);
        }
    }

    // The memory file passed with the message maps as area `area`; the
    // client is answered with a Completion of the message's id.
    void shareMemory(const std::shared_ptr<Connection>& c, uproto::Message& m) {
        auto s = uproto::decodeShareMemory(m.payload);
        if (!s || c->passedFds.empty()) return fail(c, true);
        const int fd = c->passedFds.front();
        c->passedFds.pop_front();
        NTSTATUS st = STATUS_INVALID_PARAMETER;
        if (c->memory.count(s->area) == 0) {
            st = STATUS_INSUFFICIENT_RESOURCES;
            if (c->memory.size() < uproto::kMaxSharedAreas) {
                auto memory = ClientMemory::map(fd, s->size, options.limits.maxSharedAreas, &st);
                if (memory) c->memory.emplace(s->area, std::move(memory));
            }
        }
        ::close(fd);
        c->send(uproto::encodeCompletion(s->id, st, 0, nullptr));
    }

    void requestShared(const std::shared_ptr<Connection>& c, uproto::Message& m) {
        auto r = uproto::decodeRequestShared(m.payload);
        if (!r) return fail(c, true);
        auto it = c->memory.find(r->area);
        // The output past the head must lie within the area, and the head
        // must hold the code's whole fixed layout: what the driver checks
        // and what the session ledger reads of its answer (handles) stay in
        // the host's own memory, out of the client's reach while in use.
        if (it == c->memory.end() ||
            r->request.outputLength - r->headLength > it->second->size() ||
            r->headLength < pav512::minimumLength(r->request.code)) {
            c->send(uproto::encodeCompletion(r->request.id, STATUS_INVALID_PARAMETER, 0, nullptr));
            return;
        }
        request(c, m, r->request, it->second, r->headLength);
    }

    void request(const std::shared_ptr<Connection>& c, uproto::Message& m) {
        auto r = uproto::decodeRequest(m.payload);
        if (!r) return fail(c, true);
        request(c, m, *r, nullptr, 0);
    }

    // `memory`: the area the output past its first `headLength` bytes is
    // written into in place (null: the whole output comes back in the reply).
    void request(const std::shared_ptr<Connection>& c, uproto::Message& m,
                 const uproto::Request& r, std::shared_ptr<ClientMemory> memory,
                 std::uint32_t headLength) {
        if (c->inFlight.load() >= options.limits.maxRequestsInFlight) {
            exceeded(c);
            return;
        }
        // Output written into shared memory costs the host only its head.
        const std::uint32_t outLen =
            memory ? r.outputLength
                   : std::min(r.outputLength, replyLimit(r.code, r.input, r.inputLength));
        const std::uint32_t hostOut = memory ? headLength : outLen;
        auto payload = std::make_shared<uproto::Bytes>(std::move(m.payload));
        const std::size_t inputAt = static_cast<std::size_t>(r.input - payload->data());
        const std::size_t payloadBytes = payload->size();
        charge(*c, payloadBytes);
        requestTaken(*c);
        post(c, [this, c, payload, payloadBytes, inputAt, id = r.id, code = r.code,
                 in = r.inputLength, outLen, hostOut, memory = std::move(memory),
                 headLength]() mutable {
            if (!c->channel) {
                release(*c, payloadBytes);
                requestDone(*c);
                return fail(c, true);
            }
            // The system buffer the request gets, until its reply is made,
            // and the reply itself, reserved before either is allocated.
            const std::size_t buffer = std::max(in, hostOut);
            const std::size_t reply = uproto::kHeaderLength + 16 + std::size_t{hostOut};
            auto refuse = [&](NTSTATUS st) {
                payload.reset();
                release(*c, payloadBytes);
                if (st != STATUS_SUCCESS) c->send(uproto::encodeCompletion(id, st, 0, nullptr));
                requestDone(*c);
            };
            // One request at a time writes into an area.
            std::uint8_t* system = memory ? memory->take(headLength) : nullptr;
            if (memory && !system) return refuse(STATUS_DEVICE_BUSY);
            const Reservation room = reserve(*c, buffer + reply);
            if (room != Reservation::Taken) {
                if (memory) memory->give();
                // A connection being closed runs nothing more in the driver.
                return refuse(room == Reservation::Refused ? STATUS_INSUFFICIENT_RESOURCES
                                                           : STATUS_SUCCESS);
            }
            std::weak_ptr<Connection> weak = c;
            bool fresh = c->channel->submit(
                id, code, payload->data() + inputAt, in, outLen,
                [this, weak, id, buffer, reply, memory, headLength](
                    NTSTATUS st, std::uint32_t info, const std::uint8_t* data) {
                    if (data == nullptr) info = 0;
                    // From shared memory only the head crosses the socket,
                    // and from a copy: the area is free again before the
                    // client can see the answer and send its next request.
                    std::uint8_t head[uproto::kMaxSharedHead];
                    const std::uint32_t carried = memory ? std::min(info, headLength) : info;
                    if (memory) {
                        if (carried) std::memcpy(head, data, carried);
                        data = head;
                        memory->give();
                        sharedAnswers.fetch_add(1, std::memory_order_relaxed);
                    }
                    auto conn = weak.lock();
                    if (!conn) return;
                    const auto frame = memory
                                           ? uproto::encodeCompletionSharedHead(id, st, info, carried)
                                           : uproto::encodeCompletionHead(id, st, info);
                    const std::size_t prepaid = std::min(frame.size() + carried, reply);
                    conn->send(frame.data(), frame.size(), data, carried, prepaid);
                    release(*conn, buffer + (reply - prepaid));
                    requestDone(*conn);
                },
                system);
            payload.reset();
            release(*c, payloadBytes);
            // Two pending requests under one id cannot be told apart.
            if (!fresh) {
                if (memory) memory->give();
                release(*c, buffer + reply);
                requestDone(*c);
                fail(c, true);
            }
        }, /*mayRunInline=*/true);
    }

    void readFrom(const std::shared_ptr<Connection>& c) {
        // Straight into the connection's reader: a long request arrives in
        // one piece and is copied once.
        std::size_t room = 0;
        std::uint8_t* into = c->reader.receiveInto(2048, &room);
        // Descriptors come beside the bytes of the message that uses them.
        iovec part{into, room};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedFds)];
        msghdr h{};
        h.msg_iov = &part;
        h.msg_iovlen = 1;
        h.msg_control = control;
        h.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(c->fd, &h, MSG_CMSG_CLOEXEC);
        c->reader.received(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n >= 0 && h.msg_controllen > 0 && !takeDescriptors(c, h)) return fail(c, true);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            // End of stream: a client that stopped in the middle of a message
            // broke the protocol; one that closed between messages did not.
            if (c->reader.pending() > 0) c->protocolError = true;
            c->failed = true;
            return;
        }
        bool progress = false;
        uproto::Message m;
        for (;;) {
            auto r = c->reader.next(&m);
            if (r == uproto::FrameReader::Result::NeedMore) break;
            if (r == uproto::FrameReader::Result::Error) {
                fail(c, true);
                break;
            }
            progress = true;
            handle(c, m);
            if (c->failed) break;
        }
        // What the reader has allocated, not only what arrived: room made for
        // a long message is the client's claim on the budget from its header.
        const std::size_t pending = c->reader.pending();
        const std::size_t holding = c->reader.capacity();
        if (holding > c->inputCharged)
            charge(*c, holding - c->inputCharged);
        else
            release(*c, c->inputCharged - holding);
        c->inputCharged = holding;
        // A message under way must arrive whole in time; each one that does
        // starts the time again.
        if (c->state == State::Open) {
            if (pending == 0)
                setDeadline(c, Clock::time_point::max());
            else if (progress || c->deadline == Clock::time_point::max())
                setDeadline(c, Clock::now() + options.limits.messageDeadline);
        }
    }

    // Keeps the descriptors a receive brought for the messages that use
    // them; false (with every one of them closed) when the client passed
    // more than may wait, or more than one receive takes.
    bool takeDescriptors(const std::shared_ptr<Connection>& c, msghdr& h) {
        bool ok = !(h.msg_flags & MSG_CTRUNC);
        for (cmsghdr* m = CMSG_FIRSTHDR(&h); m; m = CMSG_NXTHDR(&h, m)) {
            if (m->cmsg_level != SOL_SOCKET || m->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (m->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(m) + i * sizeof(int), sizeof fd);
                c->passedFds.push_back(fd);
            }
        }
        if (c->passedFds.size() > kMaxPassedFds) ok = false;
        if (!ok) {
            for (int fd : c->passedFds) ::close(fd);
            c->passedFds.clear();
        }
        return ok;
    }

    void writeTo(const std::shared_ptr<Connection>& c) {
        std::size_t sentWhole = 0;
        bool empty;
        {
            std::lock_guard<std::mutex> g(c->outLock);
            while (!c->out.empty()) {
                auto& front = c->out.front();
                ssize_t n = ::send(c->fd, front.data() + c->outOffset,
                                   front.size() - c->outOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
                if (n <= 0) {
                    c->failed = true;
                    break;
                }
                c->outOffset += static_cast<std::size_t>(n);
                if (c->outOffset == front.size()) {
                    c->outBytes -= front.size();
                    sentWhole += front.size();
                    c->out.pop_front();
                    c->outOffset = 0;
                }
            }
            empty = c->out.empty();
        }
        if (sentWhole) release(*c, sentWhole);
        arm(c, !empty);
    }

    void arm(const std::shared_ptr<Connection>& c, bool write) {
        if (c->writeArmed == write || !connections.count(c->id)) return;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (write ? EPOLLOUT : 0u);
        ev.data.u64 = c->id;
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, c->fd, &ev);
        c->writeArmed = write;
    }

    // Loop thread: what other threads asked of it.
    void attend() {
        std::vector<std::shared_ptr<Connection>> adds, due;
        {
            std::lock_guard<std::mutex> g(connLock);
            adds.swap(adopted);
            due.swap(attention);
        }
        for (auto& c : adds) insert(c);
        for (auto& c : due) {
            if (!connections.count(c->id)) continue;
            settle(c);
        }
    }

    // Drops a connection that failed or has said all it will, else makes sure
    // its queued output is being written.
    void settle(const std::shared_ptr<Connection>& c) {
        bool queued;
        {
            std::lock_guard<std::mutex> g(c->outLock);
            queued = !c->out.empty();
        }
        if (c->failed) return drop(c);
        if (c->endAfterOutput && !queued) {
            bool busy;
            {
                std::lock_guard<std::mutex> g(poolLock);
                busy = c->scheduled;
            }
            // An enumeration's reply is still being made; the pool calls
            // again when it is done.
            if (!busy) return drop(c);
        }
        if (queued) arm(c, true);
    }

    void expireDeadlines() {
        const auto now = Clock::now();
        while (!deadlines.empty() && deadlines.begin()->first <= now) {
            auto it = connections.find(deadlines.begin()->second);
            if (it == connections.end()) {
                deadlines.erase(deadlines.begin());
                continue;
            }
            auto c = it->second;
            exceeded(c);
            drop(c);
        }
    }

    int waitMs() const {
        auto next = resumeListening;
        if (!deadlines.empty()) next = std::min(next, deadlines.begin()->first);
        if (next == Clock::time_point::max()) return -1;
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
        return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms, 60000));
    }

    // One round of the loop: wait for events, handle them, then what other
    // threads asked for, deadlines and the budget.
    void loopOnce(Clock::time_point lookUntil = Clock::time_point::min()) {
        {
            int n = 0;
            // Just after answering a request the next one is often on its
            // way: look for it for a moment before sleeping, so the thread
            // (and its processor) is still awake when it comes.
            while (Clock::now() < lookUntil && !stopping) {
                n = ::epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), 0);
                if (n != 0) break;
                std::this_thread::yield();
            }
            if (n == 0)
                n = ::epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), waitMs());
            if (n < 0) return;
            for (int i = 0; i < n; ++i) {
                const epoll_event& e = events[i];
                // The event is packed: its token is read out, not referred to.
                const std::uint64_t token = e.data.u64;
                if (token == kWakeToken) {
                    std::uint64_t v;
                    ssize_t r = ::read(wakeFd, &v, sizeof v);
                    (void)r;
                    continue;
                }
                if (token == kListenToken) {
                    accept();
                    continue;
                }
                auto it = connections.find(token);
                if (it == connections.end()) continue;
                auto c = it->second;
                if (e.events & EPOLLOUT) writeTo(c);
                if (!c->failed && (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)))
                    readFrom(c);
                if (c->failed || c->endAfterOutput) settle(c);
            }
            attend();
            expireDeadlines();
            enforceBudget();
            if (acceptStopped && listening) {
                ::epoll_ctl(epollFd, EPOLL_CTL_DEL, listenFd, nullptr);
                listening = false;
            }
            if (!listening && Clock::now() >= resumeListening) listen();
        }
    }

    void shutdown(std::chrono::milliseconds grace) {
        if (stopped) return;
        stopped = true;
        acceptStopped = true;
        wake();
        {
            std::unique_lock<std::mutex> g(flightLock);
            flightCv.wait_for(g, grace, [&] { return inFlightTotal == 0; });
        }
        stopping = true;
        wake();
        {
            std::lock_guard<std::mutex> g(budgetLock);
            budgetCv.notify_all();  // requests waiting for room give up
        }
        {
            std::unique_lock<std::mutex> g(poolLock);
            // A loop handed over and not yet taken is taken by no one now.
            leaderWanted = false;
            leaderDone.wait(g, [&] { return !leading; });
        }
        {
            std::lock_guard<std::mutex> g(connLock);
            for (auto& c : adopted) {
                c->id = nextId++;
                connections[c->id] = c;
            }
            adopted.clear();
            attention.clear();
        }
        while (!connections.empty()) drop(connections.begin()->second);
        {
            std::unique_lock<std::mutex> g(poolLock);
            drainedCv.wait(g, [&] { return ready.empty() && running == 0; });
            poolStop = true;
            poolCv.notify_all();
            armInlineWatch(Clock::now());  // the watch sees the stop
        }
        if (inlineWatch.joinable()) inlineWatch.join();
        for (;;) {
            std::vector<std::thread> joinable;
            {
                std::lock_guard<std::mutex> g(poolLock);
                for (auto& [id, t] : workers) joinable.push_back(std::move(t));
                workers.clear();
                for (auto& t : finished) joinable.push_back(std::move(t));
                finished.clear();
            }
            if (joinable.empty()) break;
            for (auto& t : joinable)
                if (t.joinable()) t.join();
        }
        if (listenFd >= 0) {
            ::close(listenFd);
            if (options.inheritedListener < 0) ::unlink(options.socketPath.c_str());
            listenFd = -1;
        }
        if (lockFd >= 0) {
            ::close(lockFd);
            lockFd = -1;
        }
        if (spareFd >= 0) ::close(spareFd);
        ::close(epollFd);
        ::close(wakeFd);
        if (inlineWatchTimer >= 0) ::close(inlineWatchTimer);
        inlineWatchTimer = -1;
    }

    bool launch() {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epollFd = ::epoll_create1(EPOLL_CLOEXEC);
        inlineWatchTimer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        if (wakeFd < 0 || epollFd < 0 || inlineWatchTimer < 0) return false;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeToken;
        ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev);
        std::lock_guard<std::mutex> g(poolLock);
        leaderWanted = true;
        for (std::size_t i = 0; i < minimumWorkers(); ++i) spawnWorker();
        inlineWatch = std::thread([this] {
            pthread_setname_np(pthread_self(), "host-watch");
            watchInline();
        });
        return true;
    }
};

namespace {

void Connection::send(std::vector<std::uint8_t> bytes, std::size_t prepaid) {
    {
        std::lock_guard<std::mutex> g(outLock);
        if (closed) {
            server->release(*this, prepaid);
            return;
        }
        std::size_t sent = 0;
        if (out.empty()) {
            // Nothing queued ahead: write from this thread, which saves the
            // round through the I/O thread in the common case.
            ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent = static_cast<std::size_t>(n);
            if (sent == bytes.size()) {
                server->release(*this, prepaid);
                return;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) failed = true;
        }
        if (!failed && outBytes + bytes.size() > server->options.limits.maxQueuedOutput) {
            // A client that does not read its replies is over its bound.
            overBounds = true;
            failed = true;
        } else if (!failed) {
            if (out.empty()) outOffset = sent;
            outBytes += bytes.size();
            // Charged before the I/O thread can write it and give it back.
            server->charge(*this, bytes.size() - prepaid);
            prepaid = 0;
            out.push_back(std::move(bytes));
        }
        server->release(*this, prepaid);
    }
    if (auto self = table.connection()) {
        std::lock_guard<std::mutex> g(server->connLock);
        server->attention.push_back(std::move(self));
    }
    server->wake();
}

void Connection::send(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* body,
                      std::size_t bodyLength, std::size_t prepaid) {
    const std::size_t total = headLength + bodyLength;
    {
        std::lock_guard<std::mutex> g(outLock);
        if (closed) {
            server->release(*this, prepaid);
            return;
        }
        std::size_t sent = 0;
        if (out.empty()) {
            iovec parts[2] = {{const_cast<std::uint8_t*>(head), headLength},
                              {const_cast<std::uint8_t*>(body), bodyLength}};
            msghdr m{};
            m.msg_iov = parts;
            m.msg_iovlen = bodyLength ? 2 : 1;
            ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent = static_cast<std::size_t>(n);
            if (sent == total) {
                server->release(*this, prepaid);
                return;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) failed = true;
        }
        if (!failed && outBytes + total > server->options.limits.maxQueuedOutput) {
            overBounds = true;
            failed = true;
        } else if (!failed) {
            // Queued whole, as send() queues; what went out already is
            // skipped by the offset. The caller's buffers go after this call.
            std::vector<std::uint8_t> bytes;
            bytes.reserve(total);
            bytes.insert(bytes.end(), head, head + headLength);
            if (bodyLength) bytes.insert(bytes.end(), body, body + bodyLength);
            if (out.empty()) outOffset = sent;
            outBytes += total;
            server->charge(*this, total - prepaid);
            prepaid = 0;
            out.push_back(std::move(bytes));
        }
        server->release(*this, prepaid);
    }
    if (auto self = table.connection()) {
        std::lock_guard<std::mutex> g(server->connLock);
        server->attention.push_back(std::move(self));
    }
    server->wake();
}

void forwardSignal(void* context) {
    std::shared_ptr<Connection> c;
    std::uint32_t handle = 0;
    if (EventRoutes::instance().find(reinterpret_cast<std::uintptr_t>(context), &c, &handle))
        c->send(uproto::encodeEventSignal(handle));
}

// Creates what is missing of `dir`, each new folder private (or open to the
// group); a folder that exists is left as it is, whoever made it.
bool prepareDirectory(const std::string& dir, std::optional<gid_t> group, std::string* error) {
    const mode_t mode = group ? 0750 : 0700;
    std::filesystem::path path(dir);
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = path; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) break;
        missing.push_back(p);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), mode) != 0 && errno != EEXIST) {
            *error = "cannot create runtime directory " + it->string() + ": " + std::strerror(errno);
            return false;
        }
        // mkdir's mode passes through the umask; say exactly what is meant.
        ::chmod(it->c_str(), mode);
        if (group && ::chown(it->c_str(), static_cast<uid_t>(-1), *group) != 0) {
            *error = "cannot give runtime directory " + it->string() + " to its group: " +
                     std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "cannot create runtime directory " + dir;
        return false;
    }
    return true;
}

}  // namespace

std::optional<PeerIdentity> peerIdentityOf(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return std::nullopt;
    PeerIdentity id;
    id.uid = cred.uid;
    id.gid = cred.gid;
    std::vector<gid_t> groups(64);
    for (int tries = 0; tries < 4; ++tries) {
        socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
            groups.resize(bytes / sizeof(gid_t));
            id.groups = std::move(groups);
            return id;
        }
        if (errno != ERANGE) break;
        groups.resize(bytes / sizeof(gid_t) + 16);
    }
    // Without the supplementary groups only the primary one can admit.
    return id;
}

bool PeerPolicy::admits(const std::optional<PeerIdentity>& peer) const {
    if (!peer) return false;
    if (peer->uid == owner_ || peer->uid == 0) return true;
    if (!group_) return false;
    if (peer->gid == *group_) return true;
    for (gid_t g : peer->groups)
        if (g == *group_) return true;
    return false;
}

std::uint32_t replyLimit(std::uint32_t code, std::uint32_t inputLength) {
    return std::max(inputLength, pav512::minimumLength(code));
}

std::uint32_t replyLimit(std::uint32_t code, const std::uint8_t* input, std::uint32_t inputLength) {
    const std::uint32_t limit = replyLimit(code, inputLength);
    if (code != pav512::IOCTL_STREAM_READ || input == nullptr ||
        inputLength < pav512::minimumLength(code))
        return limit;
    const std::uint64_t announced = pav512::requiredLength(code, input);
    return static_cast<std::uint32_t>(
        std::max<std::uint64_t>(limit, std::min<std::uint64_t>(announced, uproto::kMaxBuffer)));
}

SocketServer::SocketServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SocketServer::~SocketServer() {
    stop();
}

std::unique_ptr<SocketServer> SocketServer::start(const Options& options, std::string* error) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    if (options.inheritedListener >= 0) {
        int flags = ::fcntl(options.inheritedListener, F_GETFL);
        ::fcntl(options.inheritedListener, F_SETFL, flags | O_NONBLOCK);
        ::fcntl(options.inheritedListener, F_SETFD, FD_CLOEXEC);
        impl->listenFd = options.inheritedListener;
        if (!impl->launch()) {
            *error = "cannot start the server's loop";
            return nullptr;
        }
        return std::unique_ptr<SocketServer>(new SocketServer(std::move(impl)));
    }
    sockaddr_un addr{};
    if (options.socketPath.empty() || options.socketPath.size() >= sizeof(addr.sun_path)) {
        *error = "socket path is empty or too long";
        return nullptr;
    }
    std::string dir = std::filesystem::path(options.socketPath).parent_path().string();
    if (!dir.empty() && !prepareDirectory(dir, options.group, error)) return nullptr;
    const mode_t mode = options.group ? 0660 : 0600;

    // Whoever holds the lock beside the socket owns the path: a second host
    // learns at once that the first serves, and a socket file without a
    // holder is a leftover to take over, with nothing to wait for.
    const std::string lockPath = options.socketPath + ".lock";
    int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (lockFd < 0) {
        *error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        ::close(lockFd);
        *error = "another host is serving " + options.socketPath;
        return nullptr;
    }
    auto fail = [&](std::string why) {
        *error = std::move(why);
        ::close(lockFd);
        return nullptr;
    };
    struct stat st {};
    if (::lstat(options.socketPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return fail(options.socketPath + " exists and is not a socket");
        ::unlink(options.socketPath.c_str());
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, options.socketPath.c_str(), options.socketPath.size() + 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return fail(std::string("bind: ") + std::strerror(errno));
    }
    // Before listen, so no one connects through a wider mode.
    if (::chmod(options.socketPath.c_str(), mode) != 0 ||
        (options.group &&
         ::chown(options.socketPath.c_str(), static_cast<uid_t>(-1), *options.group) != 0)) {
        ::close(fd);
        ::unlink(options.socketPath.c_str());
        return fail("cannot set the access of " + options.socketPath + ": " +
                    std::strerror(errno));
    }
    if (::listen(fd, 512) != 0) {
        ::close(fd);
        return fail(std::string("listen: ") + std::strerror(errno));
    }
    impl->listenFd = fd;
    impl->lockFd = lockFd;
    if (!impl->launch()) {
        *error = "cannot start the server's loop";
        return nullptr;
    }
    return std::unique_ptr<SocketServer>(new SocketServer(std::move(impl)));
}

std::unique_ptr<SocketServer> SocketServer::startDetached(unsigned dispatchThreads) {
    auto impl = std::make_unique<Impl>();
    impl->options.dispatchThreads = dispatchThreads;
    impl->options.checkPeerCredentials = false;
    if (!impl->launch()) return nullptr;
    return std::unique_ptr<SocketServer>(new SocketServer(std::move(impl)));
}

void SocketServer::stop(std::chrono::milliseconds grace) {
    impl_->shutdown(grace);
}

void SocketServer::adopt(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    auto c = impl_->makeConnection(fd);
    impl_->live.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(impl_->connLock);
        impl_->adopted.push_back(c);
    }
    impl_->wake();
}

std::size_t SocketServer::connectionCount() const {
    return impl_->live.load();
}
std::uint64_t SocketServer::sharedAnswers() const {
    return impl_->sharedAnswers.load();
}

std::uint64_t SocketServer::protocolErrors() const {
    return impl_->protocolErrors.load();
}
std::uint64_t SocketServer::boundsExceeded() const {
    return impl_->boundsExceeded.load();
}
std::size_t SocketServer::memoryInUse() const {
    std::lock_guard<std::mutex> g(impl_->budgetLock);
    return impl_->used;
}
std::size_t SocketServer::requestsInFlight() const {
    std::lock_guard<std::mutex> g(impl_->flightLock);
    return impl_->inFlightTotal;
}
unsigned SocketServer::dispatchThreadCount() const {
    std::lock_guard<std::mutex> g(impl_->poolLock);
    return static_cast<unsigned>(impl_->workers.size());
}
const std::string& SocketServer::socketPath() const {
    return impl_->options.socketPath;
}

}  // namespace host
