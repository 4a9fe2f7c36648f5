#include "element_test_util.h"

#include "base/alloc.h"
#include "elements/held.h"
#include "zu/core_init.h"

namespace {

void* fake_alloc(MX_CACHE* c, size_t size, const char*, int) {
  void* p = std::malloc(size ? size : 1);
  std::memset(p, 0xA5, size);  // pool memory is not zeroed
  c->live.insert(p);
  ++c->allocs;
  return p;
}

void fake_free(MX_CACHE* c, void* p, const char*, int) {
  if (c->live.erase(p) != 1) std::abort();  // a block given back twice or never given out
  std::free(p);
}

void gc_with_ring() {
  gc_default_mark();
  gc_matrix_sexp();
}

// Types registered and the held-value ring marked by every collection, as
// the matrix store's hooks will do.
class ElementsEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    init_qnlisp();
    init_element_types();
    static const GC_HOOKS hooks{gc_matrix_sexp_lock, gc_with_ring, gc_default_sp, nullptr, gc_matrix_sexp_unlock};
    gc_set_hooks(&hooks);
    set_mx_cache_pool_ops(&fake_pool_ops);
  }
  void TearDown() override { gc_set_hooks(nullptr); }
};

[[maybe_unused]] ::testing::Environment* const env = ::testing::AddGlobalTestEnvironment(new ElementsEnv);

template <class T>
void put(void* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace

MX_CACHE_POOL_OPS fake_pool_ops{fake_alloc, fake_free};

void store_element_text(int code, void* p, const std::string& text) {
  const char* t = text.c_str();
  switch (code & 15) {
    case 1: put<uint8_t>(p, static_cast<uint8_t>(std::strtoll(t, nullptr, 10))); break;
    case 2: put(p, static_cast<int8_t>(std::strtoll(t, nullptr, 10))); break;
    case 3: put(p, static_cast<int16_t>(std::strtoll(t, nullptr, 10))); break;
    case 4: put(p, static_cast<int32_t>(std::strtoll(t, nullptr, 10))); break;
    case 5: put(p, static_cast<int64_t>(std::strtoll(t, nullptr, 10))); break;
    case 6: put(p, static_cast<uint8_t>(std::strtoull(t, nullptr, 10))); break;
    case 7: put(p, static_cast<uint16_t>(std::strtoull(t, nullptr, 10))); break;
    case 8:
    case 12: put(p, static_cast<uint32_t>(std::strtoull(t, nullptr, 10))); break;
    case 9: put(p, static_cast<uint64_t>(std::strtoull(t, nullptr, 10))); break;
    case 10: put(p, static_cast<float>(std::strtod(t, nullptr))); break;
    case 11: put(p, std::strtod(t, nullptr)); break;
    default: FAIL() << "no element text for code " << code;
  }
}

void* value_from_text(int code, const std::string& extents, const std::string& values) {
  MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
  std::vector<std::string> vals = split(values, ',');
  auto text_of = [](const std::string& v) {
    Bytes b = v == "=" ? Bytes{} : unhex(v);
    return std::string(b.begin(), b.end());
  };
  if (code == MX_TYPE_STRING) return copy_str(text_of(vals[0]).c_str());
  if (code == MX_TYPE_BLOCK) {
    std::string data = text_of(vals[0]);
    MATRIX_ALLOC_BLOCK_PARAM from{{0, MX_TYPE_BLOCK, 0}, static_cast<int32_t>(data.size()), data.data(), 0, 0};
    return mxt_alloc_block_data(tp, MX_ATYPE::tagged, &from, nullptr, __FILE__, __LINE__);
  }
  if (extents == "s") {
    void* d = d_calloc(8, 1);
    store_element_text(code, d, vals[0]);
    return d;
  }
  std::vector<int32_t> ix;
  if (extents != "0d")
    for (const std::string& e : split(extents, ',')) ix.push_back(std::stoi(e));
  MATRIX_ALLOC_VECTOR_PARAM p{static_cast<int>(ix.size()), ix.data(), nullptr, nullptr};
  void* v = tp->alloc_data(tp, MX_ATYPE::tagged, &p, nullptr, __FILE__, __LINE__);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  for (int64_t i = 0; i < dh.total_element && static_cast<size_t>(i) < vals.size(); ++i) {
    const std::string& t = vals[static_cast<size_t>(i)];
    if (code == MX_TYPE_STRING_V) mxt_stringv_set(v, i, t == "-" ? nullptr : text_of(t).c_str());
    else if (code == MX_TYPE_BIT + MX_TYPE_VECTOR) dh.offset[i / 8] |= static_cast<uint8_t>((t == "1") << (i % 8));
    else store_element_text(code, dh.offset + i * mxt_vector_element_size(tp), t);
  }
  return v;
}

void* vector_from_hex(int code, const std::string& extents, const std::string& hex) {
  std::vector<int32_t> ix;
  for (const std::string& e : split(extents, ',')) ix.push_back(std::stoi(e));
  MATRIX_ALLOC_VECTOR_PARAM p{static_cast<int>(ix.size()), ix.data(), nullptr, nullptr};
  void* v = mxt_alloc_vector(get_matrix_data_type(code), MX_ATYPE::tagged, &p, nullptr);
  MATRIX_DH_SET dh;
  get_matrix_dh_set(&dh, v);
  Bytes b = unhex(hex);
  if (!b.empty()) std::memcpy(dh.offset, b.data(), b.size());
  return v;
}

void FakeGeometry::parse(const std::vector<std::string>& f) {
  g.dim = std::stoi(f[1]);
  g.index_hem = std::stoi(f[2]);
  dd.clear(), bs.clear(), rows.clear(), row_ptrs.clear();
  for (int d = 0; d < g.dim; ++d) dd.push_back(static_cast<uint8_t>(std::stoi(f[3 + d])));
  for (int d = 0; d < g.dim; ++d) bs.push_back(static_cast<uint8_t>(std::stoi(f[3 + g.dim + d])));
  g.total_levels = std::stoi(f[3 + 2 * g.dim]);
  for (int l = 0; l < g.total_levels; ++l) {
    rows.emplace_back();
    for (int d = 0; d < g.dim; ++d) rows.back().push_back(std::stoll(f[4 + 2 * g.dim + l * g.dim + d]));
  }
  for (auto& r : rows) row_ptrs.push_back(r.data());
  g.dim_divide = dd.data(), g.block_size = bs.data(), g.pixel_size_list = row_ptrs.data();
  ASSERT_EQ(mx_geometry_check(&g), 0);
}
