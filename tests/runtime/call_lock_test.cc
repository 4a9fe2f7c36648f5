#include "runtime/call_lock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runtime/zu_init.h"
#include "runtime_test_util.h"
#include "support/bytes.h"
#include "support/child.h"
#include "support/test_paths.h"
#include "zu/gc.h"

namespace {

std::string slurp(const std::string& path) { return read_text(path); }

// The lock service tool on a free port, logging to a file.
struct LockService {
  LockService(const std::string& log_path, const char* option) : log(log_path) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {test_path("lockd"), "0", "-v"};
    if (option) args.push_back(option);
    ChildOptions opt;
    opt.out = p[1];
    opt.err = err;
    child = start_program(args, opt);
    EXPECT_TRUE(child.started());
    close(p[1]);
    close(err);
    FILE* f = fdopen(p[0], "r");
    if (fscanf(f, "port %d", &port) != 1) port = -1;
    fclose(f);
  }
  ~LockService() { stop(); }
  std::string stop() {  // ends the service; its log
    child.kill(SIGTERM);
    child.wait();
    return slurp(log);
  }
  std::string log;
  Child child;
  int port = -1;
};

// Binds the service's address where the client looks (port 0: LockPort
// unbound).
void bind_service(int port) {
  ZuThreadScope scope("test");
  call_lock_forget_service();
  if (port)
    EXPECT_EQ(0, set_env(qnlisp_top_env1, W("LockPort").c_str(), get_integer(port, nullptr)));
  else
    EXPECT_EQ(0, del_env(qnlisp_top_env1, W("LockPort").c_str()));
  EXPECT_EQ(0, set_env(qnlisp_top_env1, W("LockHostName").c_str(), get_string_ascii("127.0.0.1")));
}

CALL_LOCK_DESCRIPTER take(const char* name, int type, CALL_LOCK_EVENT_FUNC f = nullptr, void* data = nullptr) {
  return call_lock(W(name).c_str(), type, f, data);
}

class CallLock : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_zu();
    if (get_main_interpreter_state() != 0) return;
    // A main interpreter reading a FIFO lives until the suite ends, so no
    // link made here becomes the main one (whose close ends all starts).
    fifo_dir = new TempDir;
    std::string fifo = fifo_dir->path() + "/main.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fifo_writer = open(fifo.c_str(), O_RDWR);
    ZuThreadScope scope("test");
    ZU_INTERPRETER* z = new_zu_interpreter();
    z->a_type = ZUI_FILE;
    z->env = new_env(qnlisp_top_env1);
    z->input_file_name = nl_copy_str(std_cm, fifo.c_str());
    main_iid = setup_i(z);
  }
  static void TearDownTestSuite() {
    call_lock_forget_service();
    if (fifo_writer >= 0) close(fifo_writer);
    if (main_iid > 0) wait_stop_interpreter(main_iid, 60);
    delete fifo_dir;
    fifo_writer = main_iid = -1;
    fifo_dir = nullptr;
  }
  void SetUp() override {
    if (get_main_interpreter_state() != 1 || get_main_interpreter() != main_iid)
      GTEST_SKIP() << "the main interpreter has closed in this process";
  }
  void TearDown() override { call_lock_forget_service(); }
  LockService& start(const char* option = nullptr) {
    service = std::make_unique<LockService>(dir.path() + "/lockd.log", option);
    EXPECT_GT(service->port, 0);
    bind_service(service->port);
    return *service;
  }
  static inline TempDir* fifo_dir = nullptr;
  static inline int fifo_writer = -1;
  static inline int main_iid = -1;
  TempDir dir;
  std::unique_ptr<LockService> service;
};

TEST_F(CallLock, SharedReadsSendOneRequestAndOneReleaseOverOneConnection) {
  start();
  CALL_LOCK_DESCRIPTER first = take("m/f", CALL_LOCK_READ), second{};
  ASSERT_EQ(cl_error_check(first), 0);
  std::thread([&] { second = take("m/f", CALL_LOCK_READ); }).join();
  EXPECT_EQ(second.d, first.d);
  EXPECT_EQ(call_unlock(first), 0);
  EXPECT_EQ(call_unlock(first), -1);  // this task's take is back already
  EXPECT_EQ(count_of(slurp(service->log), " unlock "), 0);
  EXPECT_EQ(call_unlock(second), 0);
  CALL_LOCK_DESCRIPTER again = take("m/f", CALL_LOCK_WRITE);  // reuses the link
  int in_use = 0;
  EXPECT_EQ(call_lock_connections(&in_use), 1);
  EXPECT_EQ(in_use, 1);
  call_unlock(again);
  std::string log = service->stop();
  EXPECT_EQ(count_of(log, " lock read \"m/f\""), 1);
  EXPECT_EQ(count_of(log, " unlock \"m/f\""), 2);
  EXPECT_EQ(count_of(log, " open from "), 1);
}

TEST_F(CallLock, WriterBlocksARelatedNameUntilReleasedButNeverItself) {
  start();
  CALL_LOCK_DESCRIPTER ab = take("a/b", CALL_LOCK_WRITE);
  ASSERT_EQ(cl_error_check(ab), 0);
  CALL_LOCK_DESCRIPTER again = take("a/b", CALL_LOCK_WRITE);  // at once, no message
  EXPECT_EQ(again.d, ab.d);
  std::atomic<bool> released{false};
  std::thread other([&] {
    CALL_LOCK_DESCRIPTER a = take("a", CALL_LOCK_WRITE);
    EXPECT_TRUE(released.load());
    call_unlock(a);
  });
  while (call_lock_waiting() == 0) usleep(1000);
  call_unlock(again);
  released = true;
  call_unlock(ab);
  other.join();
  // A reader asking to write a related name would wait for itself.
  CALL_LOCK_DESCRIPTER r = take("r/x", CALL_LOCK_READ);
  EXPECT_EQ(cl_error_check(take("r", CALL_LOCK_WRITE)), -1);
  EXPECT_EQ(cl_error_check(take("r/x", CALL_LOCK_WRITE)), -1);
  call_unlock(r);
  EXPECT_EQ(count_of(service->stop(), " lock write "), 2);
}

void no_event(int, void*) {}

TEST_F(CallLock, MessagesCarrySeqEscapedNamesAndSourceOfAnyLength) {
  start();
  CALL_LOCK_DESCRIPTER plain = take("s0", CALL_LOCK_READ);
  CALL_LOCK_DESCRIPTER e1 = take("s1", CALL_LOCK_READ, no_event);
  CALL_LOCK_DESCRIPTER e2 = take("s2", CALL_LOCK_READ, no_event);
  EXPECT_EQ(get_call_lock_seq(plain), 0);
  EXPECT_EQ(get_call_lock_seq(e1), 1);
  EXPECT_EQ(get_call_lock_seq(e2), 2);
  std::basic_string<L_CHAR> odd = W("x<y&z \"q\" \\n"), long_name(5000, 'n');
  CALL_LOCK_DESCRIPTER o = xx_call_lock(odd.c_str(), CALL_LOCK_WRITE, nullptr, nullptr, "we\"ird&<.cc", 12);
  CALL_LOCK_DESCRIPTER l = call_lock(long_name.c_str(), CALL_LOCK_READ, nullptr, nullptr);
  EXPECT_EQ(cl_error_check(l), 0);
  for (auto d : {plain, e1, e2, o, l}) EXPECT_EQ(call_unlock(d), 0);
  // Every link of this process is shown to be this process, the agent.
  std::string log = service->stop(), agent = " agent pid " + std::to_string(getpid());
  EXPECT_NE(log.find("\"s0\"" + agent + " seq 0"), std::string::npos);
  EXPECT_NE(log.find("\"s2\"" + agent + " seq 2"), std::string::npos);
  EXPECT_NE(log.find("lock write \"x<y&z \"q\" \\n\"" + agent + " seq 0 file \"we\"ird&<.cc\" line 12"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(std::string(5000, 'n')), std::string::npos);
  EXPECT_EQ(count_of(log, "released"), 5);
}

TEST_F(CallLock, WithoutAServiceOrWhenRefusedTheDescriptorIsInvalid) {
  bind_service(0);
  CALL_LOCK_DESCRIPTER d = take("m/f", CALL_LOCK_WRITE);
  EXPECT_EQ(cl_error_check(d), -1);
  EXPECT_EQ(call_unlock(d), -1);
  {
    ZuThreadScope scope("test");
    EXPECT_EQ(error_code(get_cl_error(nullptr, W("mxOpen").c_str())), 0x80040503u);
  }
  start("--refuse");
  EXPECT_EQ(cl_error_check(take("m/f", CALL_LOCK_WRITE)), -1);
  EXPECT_EQ(count_of(service->stop(), "refused"), 3);
  start();  // nothing was left behind
  d = take("m/f", CALL_LOCK_WRITE);
  EXPECT_EQ(call_unlock(d), 0);
}

// A task that is stopped (its interpreter closing) gives its request up
// once: it opens no more links to ask again.
TEST_F(CallLock, AStoppedTaskAsksOnceAndGivesUp) {
  start();
  std::thread([] {
    ZuThreadScope scope("stopped");
    const int iid = open_self_interpreter();
    ASSERT_GT(iid, 0);
    close_interpreter_nowait(iid);
    EXPECT_EQ(cl_error_check(take("m/f", CALL_LOCK_WRITE)), -1);
    close_self_interpreter();
  }).join();
  EXPECT_LE(count_of(service->stop(), " open from "), 1);
}

struct Event {
  CALL_LOCK_DESCRIPTER d{};
  std::atomic<int> seq{0};
};

void give_back(int seq, void* data) {
  auto* e = static_cast<Event*>(data);
  e->seq = seq;
  EXPECT_EQ(call_unlock(e->d), 0);
}

// Another agent's request waiting behind a lock calls the holder's event
// function, which gives the lock back: at once, and over a link opened
// after a collection that ran while no link was open (the links'
// environment is kept for good, not by the links).
TEST_F(CallLock, AnotherAgentWaitingCallsTheHoldersEventFunction) {
  for (bool collected : {true, false}) {
    SCOPED_TRACE(collected ? "after a collection without links" : "at once");
    if (collected) {
      call_lock_forget_service();
      ZuThreadScope scope("test");
      gc_collect_now();
    }
    start();
    Event ev;
    ev.d = take("m/f", CALL_LOCK_WRITE, give_back, &ev);
    int seq = get_call_lock_seq(ev.d);
    ASSERT_GT(seq, 0);
    // Another agent over a raw link: its request waits until the event
    // function gives the lock back.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(service->port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string req = "\n<Lock type=\"write\" data=\"1\"> m </Lock>\n";
    ASSERT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
    std::string got;
    char c;
    while (got.find("</Result>") == std::string::npos && read(fd, &c, 1) == 1) got.push_back(c);
    close(fd);
    EXPECT_NE(got.find("<Result> 2 ()</Result>"), std::string::npos);
    EXPECT_EQ(ev.seq.load(), seq);
  }
}

// Holds of one process's tasks, with monotonic times: no two of different
// tasks on related names, one of them a write, may overlap.
struct Hold {
  int task;
  std::string name;
  bool write;
  std::chrono::steady_clock::time_point from, to;
};

bool related_names(const std::string& a, const std::string& b) {
  return a.compare(0, std::min(a.size(), b.size()), b, 0, std::min(a.size(), b.size())) == 0;
}

int overlaps(const std::vector<Hold>& holds) {
  int n = 0;
  for (size_t i = 0; i < holds.size(); ++i)
    for (size_t j = i + 1; j < holds.size(); ++j) {
      const Hold &x = holds[i], &y = holds[j];
      if (x.task != y.task && (x.write || y.write) && related_names(x.name, y.name) && x.from < y.to &&
          y.from < x.to)
        ++n;
    }
  return n;
}

TEST_F(CallLock, TasksOfOneProcessNeverOverlapOnRelatedNames) {
  start();
  using Clock = std::chrono::steady_clock;
  // A write on a/b, then a read on a/x: a read on a must wait for the
  // writer, though the first related lock it meets (a/x) would let it in.
  std::atomic<bool> release{false}, held{false};
  Clock::time_point released;
  std::thread writer([&] {
    CALL_LOCK_DESCRIPTER w = take("a/b", CALL_LOCK_WRITE);
    EXPECT_EQ(cl_error_check(w), 0);
    held = true;
    while (!release) usleep(1000);
    released = Clock::now();
    call_unlock(w);
  });
  while (!held) usleep(1000);
  CALL_LOCK_DESCRIPTER x{};
  std::thread([&] { x = take("a/x", CALL_LOCK_READ); }).join();
  Clock::time_point granted;
  std::atomic<bool> got{false};
  std::thread reader([&] {
    CALL_LOCK_DESCRIPTER a = take("a", CALL_LOCK_READ);
    granted = Clock::now();
    got = true;
    call_unlock(a);
  });
  while (call_lock_waiting() == 0 && !got) usleep(1000);
  release = true;
  writer.join();
  reader.join();
  EXPECT_GT(granted, released);
  std::thread([&] { EXPECT_EQ(call_unlock(x), 0); }).join();

  // Many tasks on related names at random: the holds never overlap.
  std::mutex mu;
  std::vector<Hold> holds;
  const char* names[] = {"p", "p/q", "p/q/r", "p/s", "t"};
  std::vector<std::thread> tasks;
  for (int k = 0; k < 6; ++k)
    tasks.emplace_back([&, k] {
      unsigned seed = 15u + static_cast<unsigned>(k);
      for (int i = 0; i < 30; ++i) {
        std::string name = names[rand_r(&seed) % 5];
        bool write = rand_r(&seed) % 3 == 0;
        CALL_LOCK_DESCRIPTER d = take(name.c_str(), write ? CALL_LOCK_WRITE : CALL_LOCK_READ);
        ASSERT_EQ(cl_error_check(d), 0);
        Hold h{k, name, write, Clock::now(), {}};
        usleep(100 + rand_r(&seed) % 300);
        h.to = Clock::now();
        call_unlock(d);
        std::lock_guard<std::mutex> g(mu);
        holds.push_back(h);
      }
    });
  for (auto& t : tasks) t.join();
  EXPECT_EQ(holds.size(), 180u);
  EXPECT_EQ(overlaps(holds), 0);
}

struct Lost {
  CALL_LOCK_DESCRIPTER d{};
  std::atomic<int> seq{0};
  std::atomic<int> unlock{99};
};

void lost_event(int seq, void* data) {
  auto* l = static_cast<Lost*>(data);
  l->unlock = call_unlock(l->d);
  l->seq = seq;
}

TEST_F(CallLock, ALinkThatEndsVoidsItsLocksAndCallsTheirEventFunctions) {
  start();
  Lost ev;
  ev.d = take("m/g", CALL_LOCK_WRITE, lost_event, &ev);
  const int seq = get_call_lock_seq(ev.d);
  CALL_LOCK_DESCRIPTER plain = take("n", CALL_LOCK_READ);
  ASSERT_EQ(cl_error_check(ev.d), 0);
  ASSERT_EQ(cl_error_check(plain), 0);
  service->stop();  // the service ends: so do its links (one per lock here)
  for (int i = 0; i < 2000 && (!ev.seq || cl_error_check(plain) == 0); ++i) usleep(5000);
  EXPECT_EQ(ev.seq.load(), seq);
  EXPECT_EQ(ev.unlock.load(), -1);  // the event function was told as well
  EXPECT_EQ(cl_error_check(plain), -1);
  EXPECT_EQ(call_unlock(plain), -1);
  // A service started again grants the same names.
  start();
  CALL_LOCK_DESCRIPTER again = take("m/g", CALL_LOCK_WRITE);
  EXPECT_EQ(cl_error_check(again), 0);
  EXPECT_EQ(call_unlock(again), 0);
}

TEST_F(CallLock, IdleConnectionsCloseAfterAnHourButNotWhileALockIsHeld) {
  start();
  CALL_LOCK_DESCRIPTER a = take("h1", CALL_LOCK_READ), b = take("h2", CALL_LOCK_READ);
  EXPECT_EQ(call_lock_connections(nullptr), 2);
  call_unlock(b);
  call_lock_age_connections(3599);
  call_lock_tick();
  EXPECT_EQ(call_lock_connections(nullptr), 2);
  call_lock_age_connections(1);
  call_lock_tick();
  EXPECT_EQ(call_lock_connections(nullptr), 1);
  call_unlock(a);
}

// Run in processes of their own by the test below (args: the service's
// port, the file, a tag): begin/end pairs appended to a file under a write
// lock on its name.
QNMX_CHILD_BODY(LockWorker) {
  init_zu();
  if (!ensure_main_interpreter() || args.size() != 3) return 2;
  bind_service(std::stoi(args[0]));
  const std::string& file = args[1];
  for (int i = 0; i < 20; ++i) {
    CALL_LOCK_DESCRIPTER d = take(file.c_str(), CALL_LOCK_WRITE);
    if (cl_error_check(d) != 0) return child_exit(1);
    std::ofstream(file, std::ios::app) << "begin " << args[2] << std::endl;
    usleep(200);  // widens the window a second holder would use
    std::ofstream(file, std::ios::app) << "end " << args[2] << std::endl;
    call_unlock(d);
  }
  call_lock_forget_service();
  return child_exit(0);
}

TEST_F(CallLock, TwoProcessesNeverHoldTheSameWriteLockAtOnce) {
  LockService& s = start();
  std::string file = dir.path() + "/shared.txt";
  std::vector<Child> workers;
  for (const char* tag : {"one", "two"}) workers.push_back(start_body("LockWorker", {std::to_string(s.port), file, tag}));
  for (Child& w : workers) EXPECT_EQ(w.wait(), 0);
  std::istringstream lines(slurp(file));
  std::string begin, end;
  int pairs = 0;
  while (std::getline(lines, begin) && std::getline(lines, end)) {
    ASSERT_EQ(begin.substr(0, 6), "begin ");
    ASSERT_EQ(end, "end " + begin.substr(6));
    ++pairs;
  }
  EXPECT_EQ(pairs, 40);
}

}  // namespace
