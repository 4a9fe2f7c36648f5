#include "runtime/call_lock.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
#include "zu/gc.h"

namespace {

std::string slurp(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path).rdbuf();
  return ss.str();
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// Runs a program with the given environment and standard output (-1: none
// given); its pid.
pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& env, int out, int err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out >= 0) posix_spawn_file_actions_adddup2(&fa, out, 1);
  if (err >= 0) posix_spawn_file_actions_adddup2(&fa, err, 2);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> e = env;
  for (char** p = environ; *p; ++p) e.emplace_back(*p);
  for (std::string& s : e) envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

// The lock service tool on a free port, logging to a file.
struct LockService {
  LockService(const std::string& log_path, const char* option) : log(log_path) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {QNMX_LOCKD, "0", "-v"};
    if (option) args.push_back(option);
    pid = spawn(args, {}, p[1], err);
    close(p[1]);
    close(err);
    FILE* f = fdopen(p[0], "r");
    if (fscanf(f, "port %d", &port) != 1) port = -1;
    fclose(f);
  }
  ~LockService() { stop(); }
  std::string stop() {  // ends the service; its log
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    pid = -1;
    return slurp(log);
  }
  std::string log;
  pid_t pid = -1;
  int port = -1;
};

// Binds the service's address where the client looks (port 0: LockPort
// unbound).
void bind_service(int port) {
  ZuThreadScope scope("test");
  call_lock_forget_service();
  if (port)
    set_env(qnlisp_top_env1, W("LockPort").c_str(), get_integer(port, nullptr));
  else
    del_env(qnlisp_top_env1, W("LockPort").c_str());
  set_env(qnlisp_top_env1, W("LockHostName").c_str(), get_string_ascii("127.0.0.1"));
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
    if (main_iid > 0) wait_stop_interpreter(main_iid);
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
  EXPECT_EQ(count(slurp(service->log), " unlock "), 0);
  EXPECT_EQ(call_unlock(second), 0);
  CALL_LOCK_DESCRIPTER again = take("m/f", CALL_LOCK_WRITE);  // reuses the link
  int in_use = 0;
  EXPECT_EQ(call_lock_connections(&in_use), 1);
  EXPECT_EQ(in_use, 1);
  call_unlock(again);
  std::string log = service->stop();
  EXPECT_EQ(count(log, " lock read \"m/f\""), 1);
  EXPECT_EQ(count(log, " unlock \"m/f\""), 2);
  EXPECT_EQ(count(log, " open from "), 1);
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
  EXPECT_EQ(count(service->stop(), " lock write "), 2);
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
  std::string log = service->stop(), agent = " agent 127.0.0.1/" + std::to_string(getpid());
  EXPECT_NE(log.find("\"s0\"" + agent + " seq 0"), std::string::npos);
  EXPECT_NE(log.find("\"s2\"" + agent + " seq 2"), std::string::npos);
  EXPECT_NE(log.find("lock write \"x<y&z \"q\" \\n\"" + agent + " seq 0 file \"we\"ird&<.cc\" line 12"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(std::string(5000, 'n')), std::string::npos);
  EXPECT_EQ(count(log, "released"), 5);
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
  EXPECT_EQ(count(service->stop(), "refused"), 3);
  start();  // nothing was left behind
  d = take("m/f", CALL_LOCK_WRITE);
  EXPECT_EQ(call_unlock(d), 0);
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

TEST_F(CallLock, AnotherAgentWaitingCallsTheHoldersEventFunction) {
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

// Run in processes of their own by the test below: begin/end pairs appended
// to a file under a write lock on its name.
TEST_F(CallLock, WorkerAppendsPairsUnderTheLock) {
  const char* worker = std::getenv("QNMX_LOCK_WORKER");
  if (!worker) GTEST_SKIP() << "started by TwoProcessesNeverHoldTheSameWriteLockAtOnce";
  std::istringstream in(worker);
  int port = 0;
  std::string file, tag;
  in >> port >> file >> tag;
  bind_service(port);
  for (int i = 0; i < 20; ++i) {
    CALL_LOCK_DESCRIPTER d = take(file.c_str(), CALL_LOCK_WRITE);
    ASSERT_EQ(cl_error_check(d), 0);
    std::ofstream(file, std::ios::app) << "begin " << tag << std::endl;
    usleep(200);  // widens the window a second holder would use
    std::ofstream(file, std::ios::app) << "end " << tag << std::endl;
    call_unlock(d);
  }
}

TEST_F(CallLock, TwoProcessesNeverHoldTheSameWriteLockAtOnce) {
  LockService& s = start();
  std::string file = dir.path() + "/shared.txt";
  int null = open("/dev/null", O_WRONLY);
  std::vector<pid_t> pids;
  for (const char* tag : {"one", "two"})
    pids.push_back(spawn({"/proc/self/exe", "--gtest_filter=CallLock.WorkerAppendsPairsUnderTheLock"},
                         {"QNMX_LOCK_WORKER=" + std::to_string(s.port) + " " + file + " " + tag}, null, -1));
  close(null);
  for (pid_t pid : pids) {
    int st = -1;
    waitpid(pid, &st, 0);
    EXPECT_EQ(st, 0);
  }
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
