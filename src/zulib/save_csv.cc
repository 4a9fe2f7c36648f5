// The CSV table of Save: a header line of column titles, an empty line,
// then one line per element of the records list. A record is an element
// (tag item...): its tag goes to the tag column (the first of type 2), an
// item (name value) to the column of that name, a bare item to the first
// free column of its type. Columns are given, or made from the records.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "zu/builtin_kit.h"
#include "zu/eval.h"
#include "zulib/save_impl.h"

namespace {

struct CSV_FIELD_LIST {
  std::u32string title;
  bool has_title = false;
  int type = 0;  // 2: the tag column; otherwise the type of the bare values it takes
  std::u32string symbol;
  bool has_symbol = false;
  ZU_SEXP* data = nullptr;  // the value for the line being written
  bool flags = false;       // taken by the element being scanned
};

using Columns = std::vector<CSV_FIELD_LIST>;

const L_CHAR* wide(const std::u32string& s) { return reinterpret_cast<const L_CHAR*>(s.c_str()); }
std::u32string text_of(const L_CHAR* t) { return reinterpret_cast<const char32_t*>(t); }

bool named(const CSV_FIELD_LIST& c, const L_CHAR* name) { return c.has_symbol && c.symbol == text_of(name); }

CSV_FIELD_LIST type_column(int type, bool flag) {
  CSV_FIELD_LIST c;
  char buf[32];
  std::snprintf(buf, sizeof buf, "tp%i", type);
  c.title.assign(buf, buf + std::char_traits<char>::length(buf));
  c.has_title = true;
  c.type = type;
  c.flags = flag;
  return c;
}

Columns made_columns(ZU_SEXP* records) {
  Columns cols(1);
  cols[0].title = U"RECORD-TYPE";
  cols[0].has_title = true;
  cols[0].type = ZU_TYPE_LIST;
  for (ZU_SEXP* r = records; get_type(r) == ZU_TYPE_LIST; r = r->pair.cdr) {
    ZU_SEXP* e = r->pair.car;
    for (CSV_FIELD_LIST& c : cols) c.flags = false;
    if (get_type(e) != ZU_TYPE_LIST) {
      cols.push_back(type_column(get_type(e), false));
      continue;
    }
    if (!is_element(e)) continue;
    for (ZU_SEXP* i = e->pair.cdr; get_type(i) == ZU_TYPE_LIST; i = i->pair.cdr) {
      ZU_SEXP* item = i->pair.car;
      if (is_element(item)) {
        const L_CHAR* name = sym_name(item->pair.car);
        auto c = std::find_if(cols.begin(), cols.end(), [&](auto& k) { return named(k, name) && !k.flags; });
        if (c != cols.end()) {
          c->flags = true;
        } else {
          CSV_FIELD_LIST n;
          n.title = n.symbol = text_of(name);
          n.has_title = n.has_symbol = true;
          n.flags = true;
          cols.push_back(n);
        }
      } else if (get_type(item) != ZU_TYPE_LIST) {
        int t = get_type(item);
        auto c = std::find_if(cols.begin(), cols.end(), [&](auto& k) { return k.type == t && !k.flags; });
        if (c != cols.end())
          c->flags = true;
        else
          cols.push_back(type_column(t, true));
      }
    }
  }
  return cols;
}

Columns given_columns(ZU_SEXP* spec) {
  Columns cols;
  for (ZU_SEXP* r = spec; get_type(r) == ZU_TYPE_LIST; r = r->pair.cdr) {
    ZU_SEXP* e = r->pair.car;
    if (!is_element(e)) continue;
    CSV_FIELD_LIST c;
    c.title = text_of(sym_name(e->pair.car));
    c.has_title = true;
    ZU_SEXP* how = get_el(e, 1);
    switch (get_type(how)) {
      case ZU_TYPE_STRING:
        c.symbol = text_of(str_text(how));
        c.has_symbol = true;
        c.type = ZU_TYPE_LIST;
        break;
      case ZU_TYPE_SYMBOL:
        c.symbol = text_of(sym_name(how));
        c.has_symbol = true;
        c.type = ZU_TYPE_LIST;
        break;
      case ZU_TYPE_INTEGER:
        c.type = static_cast<int32_t>(how->integer.num);
        break;
      default:
        continue;
    }
    cols.push_back(c);
  }
  return cols;
}

void fill(Columns& cols, ZU_SEXP* e) {
  for (CSV_FIELD_LIST& c : cols) c.data = nullptr;
  auto first_free = [&cols](auto&& pred) -> CSV_FIELD_LIST* {
    for (CSV_FIELD_LIST& c : cols)
      if (!c.data && pred(c)) return &c;
    return nullptr;
  };
  if (get_type(e) != ZU_TYPE_LIST) {
    int t = get_type(e);
    if (CSV_FIELD_LIST* c = first_free([t](auto& k) { return k.type == t; })) c->data = e;
    return;
  }
  if (!is_element(e)) return;
  if (CSV_FIELD_LIST* c = first_free([](auto& k) { return k.type == ZU_TYPE_LIST; })) c->data = e->pair.car;
  for (ZU_SEXP* i = e->pair.cdr; get_type(i) == ZU_TYPE_LIST; i = i->pair.cdr) {
    ZU_SEXP* item = i->pair.car;
    if (is_element(item)) {
      const L_CHAR* name = sym_name(item->pair.car);
      if (CSV_FIELD_LIST* c = first_free([name](auto& k) { return named(k, name); })) c->data = get_el(item, 1);
    } else if (get_type(item) != ZU_TYPE_LIST) {
      int t = get_type(item);
      if (CSV_FIELD_LIST* c = first_free([t](auto& k) { return k.type == t; })) c->data = item;
    }
  }
}

// A text field: quoted, with its quotes doubled, when it holds a quote or
// a comma; line ends and tabs become spaces.
void put_text(std::vector<L_CHAR>& line, const L_CHAR* t) {
  bool quote = false;
  for (const L_CHAR* p = t; *p; ++p) quote = quote || *p == '"' || *p == ',';
  if (quote) line.push_back('"');
  for (; *t; ++t) {
    L_CHAR c = *t;
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    line.push_back(c);
    if (c == '"') line.push_back('"');
  }
  if (quote) line.push_back('"');
}

void put_ascii(std::vector<L_CHAR>& line, const char* s) {
  for (; *s; ++s) line.push_back(static_cast<unsigned char>(*s));
}

void put_value(std::vector<L_CHAR>& line, ZU_SEXP* v) {
  char buf[400];
  switch (get_type(v)) {
    case ZU_TYPE_NULL:
      return;
    case ZU_TYPE_SYMBOL:
      put_text(line, sym_name(v));
      return;
    case ZU_TYPE_STRING:
      put_text(line, str_text(v));
      return;
    case ZU_TYPE_INTEGER:
      std::snprintf(buf, sizeof buf, "%" PRId64, v->integer.num);
      break;
    case ZU_TYPE_FLOATING:
      std::snprintf(buf, sizeof buf, "%f", v->floating.num);
      break;
    case ZU_TYPE_ERROR:
      std::snprintf(buf, sizeof buf, "!!ERROR!!");
      break;
    default:
      std::snprintf(buf, sizeof buf, "!!D(%i)!!", get_type(v));
      break;
  }
  put_ascii(line, buf);
}

bool write_line(STREAM* st, std::vector<L_CHAR>& line) {
  line.push_back(0);
  bool ok = s_printf(st, "%ls", line.data()) >= 0;
  line.clear();
  return ok;
}

}  // namespace

bool write_csv(STREAM* st, ZU_SEXP* records, bool has_columns, ZU_SEXP* columns, ZU_SEXP* form, ZU_SEXP** stop) {
  Columns cols = has_columns ? given_columns(columns) : made_columns(records);
  std::vector<L_CHAR> line;
  for (size_t i = 0; i < cols.size(); ++i) {
    if (i) line.push_back(',');
    if (cols[i].has_title) put_text(line, wide(cols[i].title));
  }
  put_ascii(line, "\n\n");
  if (!write_line(st, line)) return false;
  for (ZU_SEXP* r = records; get_type(r) == ZU_TYPE_LIST; r = r->pair.cdr) {
    if ((*stop = do_break_check(form))) return false;
    fill(cols, r->pair.car);
    for (size_t i = 0; i < cols.size(); ++i) {
      if (i) line.push_back(',');
      put_value(line, cols[i].data);
    }
    line.push_back('\n');
    if (!write_line(st, line)) return false;
  }
  return true;
}
