#include "core/json/canonical.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/json/write.h"

namespace tallyvox::json {

namespace {

using Member = Object::Member;

bool key_less(const Member* a, const Member* b) {
  // std::string compares through char_traits<char>, i.e. as unsigned bytes.
  return a->first < b->first;
}

void write_object(Buffer& out, const Object& object) {
  constexpr std::size_t kInline = 16;
  const Member* inline_refs[kInline];
  std::vector<const Member*> heap_refs;
  const Member** refs = inline_refs;
  if (object.size() > kInline) {
    heap_refs.resize(object.size());
    refs = heap_refs.data();
  }
  for (std::size_t i = 0; i < object.size(); ++i) refs[i] = &object[i];
  std::sort(refs, refs + object.size(), key_less);

  out.push_back('{');
  for (std::size_t i = 0; i < object.size(); ++i) {
    if (i) out.push_back(',');
    write_string(out, refs[i]->first);
    out.push_back(':');
    write_canonical_json(out, refs[i]->second);
  }
  out.push_back('}');
}

}  // namespace

void write_canonical_json(Buffer& out, const Value& value) {
  write_value(out, value, write_object);
}

std::string to_canonical_json(const Value& value) {
  Buffer out;
  write_canonical_json(out, value);
  return out.str();
}

}  // namespace tallyvox::json
