// The HTTP agent's test and benchmark driver (never installed): it starts
// the library as qnmx does, which starts the HTTP agent, registers the
// paths named on its command line, and runs a ZU script as qnmx does.
//
//   http_agent_driver [tick=SECONDS] ENTRY... -- script [out [err]] [/ args]
//
// An ENTRY is PATH (a local entry, evaluated in a new child of env1, where
// the script defines the handlers), PATH=URL (a remote entry at the agent
// that URL names) or PATH@ROOT (an alias of the entry of path ROOT, given
// before it); any of them may end in ";FORMS", ZU text read as the entry's
// initialize forms. Every local entry's environment binds HttpAgent_path to
// its path, as a remote entry's agent is told by (Define HttpAgent_path
// path), so that one handler serves both.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/entry.h"
#include "netsvc/http_agent.h"
#include "netsvc/netsvc.h"
#include "runtime/services.h"
#include "runtime/zu_init.h"
#include "text/convert.h"
#include "zu/gc.h"
#include "zulib/library.h"

namespace {

struct Entry {
  std::string path, url, root, forms;
};

Entry parse_entry(const std::string& arg) {
  Entry e;
  std::string head = arg;
  if (size_t semi = head.find(';'); semi != std::string::npos) {
    e.forms = head.substr(semi + 1);
    head.resize(semi);
  }
  if (size_t eq = head.find('='); eq != std::string::npos) {
    e.url = head.substr(eq + 1);
    head.resize(eq);
  } else if (size_t at = head.find('@'); at != std::string::npos) {
    e.root = head.substr(at + 1);
    head.resize(at);
  }
  e.path = head;
  return e;
}

// Registers the entries in order; false (with a message) for an alias of a
// path not registered before it.
bool register_entries(const std::vector<Entry>& entries) {
  ZuThreadScope scope("http agent driver");
  std::map<std::string, HTTP_AGENT_LIST*> known;
  for (const Entry& e : entries) {
    ZU_SEXP* forms = e.forms.empty() ? nullptr : sexp_commands(std_cm, e.forms.c_str(), nullptr);
    ZUISP_ENV* env = new_env(qnlisp_top_env1);
    gc_set_nl(env, gc_qnlisp_env);
    HTTP_AGENT_LIST* alias = nullptr;
    if (!e.root.empty()) {
      auto it = known.find(e.root);
      if (it == known.end()) {
        std::fprintf(stderr, "http_agent_driver: no entry %s before its alias %s\n", e.root.c_str(), e.path.c_str());
        return false;
      }
      alias = it->second;
    }
    if (e.url.empty() && !alias) bind_agent(env, "HttpAgent_path", n_get_string(e.path.c_str()));
    const L_CHAR* url = e.url.empty() ? nullptr : l_string(std_cm, e.url.c_str());
    known[e.path] = insert_http_agent_list(e.path.c_str(), env, url, alias, forms);
  }
  return true;
}

int body(int argc, char** argv) {
  int tick = 0;
  std::vector<Entry> entries;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strncmp(argv[i], "tick=", 5) == 0) tick = std::atoi(argv[i] + 5);
    else entries.push_back(parse_entry(argv[i]));
  }
  if (i + 1 >= argc) {
    std::fprintf(stderr, "usage: http_agent_driver [tick=SECONDS] ENTRY... -- script [out [err]] [/ args]\n");
    return 2;
  }
  // The script's command line, as qnmx would see it.
  std::vector<char*> args{argv[0]};
  for (++i; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  int n = static_cast<int>(args.size()) - 1;
  init_netsvc();
  init_zu();
  init_function(qnlisp_top_env0, qnlisp_top_env1, n, args.data());
  if (tick > 0) set_http_agent_tick(tick);
  if (!register_entries(entries)) return 2;
  return zu_setup_file(n, args.data());
}

}  // namespace

int main(int argc, char** argv) { call_main(argc, argv, body); }
