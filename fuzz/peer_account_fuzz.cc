// Fuzz target: the ledger of peer addresses driven through takes, gives,
// reserved takes and give-ways of every kind by a handful of addresses,
// against a model of what each address holds. The first four bytes set
// the caps: one address's cap, all addresses' total, the part of it kept
// for addresses holding almost nothing and what such an address may hold,
// and the share below which a newcomer makes room. Every answer must be
// the model's; no total is ever passed; a newcomer that holds nothing is
// always let in when the address holding most gives back one at a time;
// and once the model gives back every take once, the ledger holds nothing.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "zu/peer_account.h"

namespace {

constexpr int kAddresses = 6;
constexpr int kFirstIp = 0x7F0A0001;  // none of the process's own peers

struct Model {
  std::array<std::array<int64_t, kPeerHoldKinds>, kAddresses> held{};

  int64_t total(int k) const {
    int64_t t = 0;
    for (const auto& a : held) t += a[k];
    return t;
  }
  bool fits(int at, int k, int64_t n, int64_t cap, int64_t all) const {
    return held[at][k] <= cap - n && total(k) <= all - n;
  }
  // The address that gives way to the one at `at` (index), or -1.
  int gives_way(int k, int at, int64_t share) const {
    int top = -1;
    for (int i = 0; i < kAddresses; ++i)
      if (held[i][k] > 0 && (top < 0 || held[i][k] > held[top][k])) top = i;
    const int64_t mine = held[at][k];
    return top >= 0 && mine < share && held[top][k] > mine ? top : -1;
  }
};

void require(bool ok) {
  if (!ok) __builtin_trap();
}

int ip_of(int at) { return kFirstIp + at; }

struct Caps {
  int64_t cap, all, reserve, small, share;
};

// One operation of four bytes on the ledger and the model alike.
void step(Model& m, const Caps& c, const uint8_t* op) {
  const int at = op[1] % kAddresses;
  const int k = op[2] % kPeerHoldKinds;
  const auto kind = static_cast<PEER_HOLD>(k);
  const int64_t n = op[3] % 8;
  switch (op[0] % 5) {
    case 0: {
      const bool want = m.fits(at, k, n, c.cap, c.all);
      require(account_take(ip_of(at), kind, n, c.cap, c.all) == want);
      if (want) m.held[at][k] += n;
      break;
    }
    case 1: {
      const bool want = m.fits(at, k, n, c.cap, c.all - c.reserve) || m.fits(at, k, n, std::min(c.cap, c.small), c.all);
      require(account_take_reserved(ip_of(at), kind, n, c.cap, c.all, c.reserve, c.small) == want);
      if (want) m.held[at][k] += n;
      break;
    }
    case 2:
      account_give(ip_of(at), kind, n);
      m.held[at][k] -= std::min(n, m.held[at][k]);
      break;
    case 3: {
      const int want = m.gives_way(k, at, c.share);
      require(account_gives_way(kind, ip_of(at), c.share) == (want < 0 ? 0 : ip_of(want)));
      break;
    }
    default: {
      const int64_t need = std::max<int64_t>(n, 1);
      const bool fresh = m.held[at][k] == 0 && need <= std::min(c.cap, c.all) && c.share > 0;
      auto give_one = [&](int top) {
        const int i = top - kFirstIp;
        require(i >= 0 && i < kAddresses && i == m.gives_way(k, at, c.share));
        account_give(top, kind, 1);
        --m.held[i][k];
        return true;
      };
      const bool got = account_take_or_give_way(ip_of(at), kind, need, PEER_CAPS{c.cap, c.all, c.share}, give_one);
      require(got || !fresh);
      if (got) m.held[at][k] += need;
      break;
    }
  }
  require(m.total(k) <= c.all);
  for (int i = 0; i < kPeerHoldKinds; ++i) require(account_total(static_cast<PEER_HOLD>(i)) == m.total(i));
  require(account_held(ip_of(at), kind) == m.held[at][k]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  for (int i = 0; i < kPeerHoldKinds; ++i) require(account_total(static_cast<PEER_HOLD>(i)) == 0);
  Caps c{};
  c.cap = 1 + data[0] % 32;
  c.all = 1 + data[1] % 64;
  c.reserve = data[2] % (c.all + 1);
  c.small = data[3] % 8;
  c.share = (data[0] >> 5) + 1;
  Model m;
  for (size_t i = 4; i + 4 <= size && i < 4 + 4 * 4096; i += 4) step(m, c, data + i);
  // Every take given back once: a second give takes nothing more.
  for (int round = 0; round < 2; ++round) {
    for (int at = 0; at < kAddresses; ++at)
      for (int k = 0; k < kPeerHoldKinds; ++k) account_give(ip_of(at), static_cast<PEER_HOLD>(k), m.held[at][k]);
  }
  for (int i = 0; i < kPeerHoldKinds; ++i) require(account_total(static_cast<PEER_HOLD>(i)) == 0);
  for (int at = 0; at < kAddresses; ++at)
    for (int k = 0; k < kPeerHoldKinds; ++k) require(account_held(ip_of(at), static_cast<PEER_HOLD>(k)) == 0);
  return 0;
}
