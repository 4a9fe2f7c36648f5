// File walks of the qnmx program against find(1) on a generated tree of
// 100,000 files (1,000 directories of 100 files, a third of them .txt and a
// third .c): FindFile "**/*.txt" and a Rule accepting "**/*.c", next to
// `find . -name` for the same names. Each side's process start-up is taken
// off; ratios printed at the end are qnmx time / find time.
#include "process_bench.h"

namespace {

using namespace process_bench;

void make_tree(const fs::path& root) {
  static const char* kExt[] = {".txt", ".c", ".dat"};
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 100; ++b) {
      fs::path d = root / ("d" + std::to_string(a)) / ("s" + std::to_string(b));
      fs::create_directories(d);
      for (int f = 0; f < 100; ++f) std::ofstream(d / ("f" + std::to_string(f) + kExt[f % 3]));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  start("zulib_files_bench");
  std::string qnmx = build_file("src/app/qnmx");
  bool have_qnmx = fs::exists(qnmx);
  fs::path tree = dir() / "tree";
  make_tree(tree);
  std::string in = "cd " + tree.string() + " && ";
  std::string empty = write_program("empty.zu", "");
  std::string find_txt = write_program("find.zu", "(ListLength (FindFile scriptpath=\"off\" \"**/*.txt\"))\n");
  std::string rule_c = write_program("rule.zu", "(Rule target=\"allfor1\" (Accept \"**/*.c\") (ListLength from))\n");

  add("qnmx/startup", in + qnmx + " " + empty + " -", have_qnmx);
  add("qnmx/FindFile_txt", in + qnmx + " " + find_txt + " -", have_qnmx);
  add("qnmx/Rule_c", in + qnmx + " " + rule_c + " -", have_qnmx);
  add("find/startup", in + "find . -maxdepth 0", true);
  add("find/name_txt", in + "find . -name '*.txt'", true);
  add("find/name_c", in + "find . -name '*.c'", true);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("Fastest run less process start-up:\n");
  ratio("**/*.txt", "qnmx/FindFile_txt", "qnmx/startup", "find/name_txt", "find/startup", "qnmx", "find");
  ratio("**/*.c", "qnmx/Rule_c", "qnmx/startup", "find/name_c", "find/startup", "qnmx", "find");
  finish();
  return 0;
}
