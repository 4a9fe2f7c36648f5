// The agent's version records and its identification text.
#include <mutex>
#include <string>

#include "agent/agent.h"
#include "base/version.h"
#include "runtime/later_services.h"

namespace {

constexpr const char* kPublisher = "qnmx";

VERSION qn_proto_version = {"QN.proto", "QUARVEN", kPublisher, "ver.05.5.23", 2005, 5, 23, nullptr,
                            "QUARVEN protocol version"};
VERSION qn_code_version = {"QN.code", "QN.lib(CINDRALE)", kPublisher, "ver.B.b16.14(SKELDER)", 2007, 10, 28,
                           nullptr, "CINDRALE QUARVEN protocol library "};
VERSION ap_version = {"AP.code", "qnmx", kPublisher, "ver.B.b16.14(SKELDER)", 2007, 10, 28, nullptr,
                      "QN r64/cr agent "};

// The identification text is name "/" version of a record.
void set_banner(const VERSION& v) {
  std::string text = std::string(v.name) + "/" + v.version;
  set_setagent_msg(text.c_str());
}

}  // namespace

void init_qn() {
  static std::once_flag once;
  std::call_once(once, [] {
    set_version(&qn_proto_version);
    set_version(&qn_code_version);
  });
  set_banner(qn_code_version);
}

void init_qns() {
  static std::once_flag once;
  std::call_once(once, [] {
    init_qn();
    set_version(&ap_version);
    set_banner(ap_version);
  });
}
