// Vetting of archive paths before extraction writes them below the destination root.
// An archive is untrusted input: its paths decide where bytes land on disk, so every
// component is checked before anything is created.
#include "tools/packer/extracted_path.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/strings/string_escape.h"
#include "umbracore/strings/path.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

namespace {

// Windows refuses these as file bases whatever the extension, in any letter case
// (fullwidth letters included). The superscript digits are U+00B9, U+00B2, U+00B3.
constexpr const char* RESERVED_NAMES[] = {
    "CON",  "PRN",  "AUX",  "NUL",                                                          //
    "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9",                 //
    "COM\xC2\xB9", "COM\xC2\xB2", "COM\xC2\xB3",                                            //
    "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",                 //
    "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3",
};
static_assert(sizeof(RESERVED_NAMES) / sizeof(RESERVED_NAMES[0]) == 28, "28 reserved device names");

// ---------------------------------------------------------------------------------
// Case folding

// Folds one code point to lower case; returns how many characters it stands for
// (ß is two). Invalid bytes arrive as negative values and stay as they are.
int fold_code_point(s32 cp, s32 out[2]) {
  out[0] = cp;
  if (cp < 0) return 1;
  if (cp >= 'A' && cp <= 'Z') {
    out[0] = cp + 0x20;
  } else if (cp >= 0xFF21 && cp <= 0xFF3A) {  // fullwidth A-Z
    out[0] = 'a' + (cp - 0xFF21);
  } else if (cp >= 0xFF41 && cp <= 0xFF5A) {  // fullwidth a-z
    out[0] = 'a' + (cp - 0xFF41);
  } else if (cp == 0xDF) {  // ß
    out[0] = 's';
    out[1] = 's';
    return 2;
  } else if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) {  // Latin-1 capitals, not ×
    out[0] = cp + 0x20;
  } else if ((cp >= 0x100 && cp <= 0x12F) || (cp >= 0x132 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177)) {
    out[0] = cp | 1;  // Latin Extended-A: capital even, small odd
  } else if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) {
    out[0] = (cp & 1) ? cp + 1 : cp;  // capital odd, small even
  } else if (cp == 0x178) {  // Ÿ
    out[0] = 0xFF;
  } else if (cp == 0x1A0 || cp == 0x1AF) {  // Vietnamese Ơ, Ư
    out[0] = cp + 1;
  } else if (cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) {  // Greek capitals
    out[0] = cp + 0x20;
  } else if (cp == 0x386) {
    out[0] = 0x3AC;
  } else if (cp >= 0x388 && cp <= 0x38A) {
    out[0] = cp + 0x25;
  } else if (cp == 0x38C) {
    out[0] = 0x3CC;
  } else if (cp == 0x38E || cp == 0x38F) {
    out[0] = cp + 0x3F;
  } else if (cp >= 0x400 && cp <= 0x40F) {  // Cyrillic Ѐ-Џ
    out[0] = cp + 0x50;
  } else if (cp >= 0x410 && cp <= 0x42F) {  // Cyrillic А-Я
    out[0] = cp + 0x20;
  } else if (cp >= 0x1EA0 && cp <= 0x1EF9) {  // Vietnamese letters with marks
    out[0] = cp | 1;
  }
  return 1;
}

// Walks a byte range one folded character at a time.
class folded_reader_t {
 public:
  folded_reader_t(const char* begin, const char* end) : p_(begin), end_(end) {}

  // False at the end of the text.
  bool next(s32& c) {
    if (pending_index_ < pending_count_) {
      c = pending_[pending_index_++];
      return true;
    }
    if (p_ >= end_) return false;
    u32 cp = 0;
    int n = decode_utf8_bounded(p_, end_, &cp);
    s32 value;
    if (n < 0) {
      value = (s8)*p_;
      n = 1;
    } else {
      value = (s32)cp;
    }
    p_ += n;
    pending_count_ = fold_code_point(value, pending_);
    pending_index_ = 1;
    c = pending_[0];
    return true;
  }

 private:
  const char* p_;
  const char* end_;
  s32 pending_[2] = {0, 0};
  int pending_count_ = 0;
  int pending_index_ = 0;
};

int compare_folded_range(const char* a, const char* a_end, const char* b, const char* b_end) {
  folded_reader_t ra(a, a_end), rb(b, b_end);
  for (;;) {
    s32 ca = 0, cb = 0;
    bool more_a = ra.next(ca);
    bool more_b = rb.next(cb);
    if (!more_a && !more_b) return 0;
    if (!more_a) ca = 0;
    if (!more_b) cb = 0;
    if (ca != cb) return ca - cb;
  }
}

// ---------------------------------------------------------------------------------
// Path vetting

struct component_t {
  u32 offset;
  u32 length;
};

bool is_unsupported_character(unsigned char c) {
  if (c >= 0x01 && c <= 0x1F) return true;
  switch (c) {
    case '<': case '>': case ':': case '|': case '?': case '*': case '\\': case '/': case '"':
      return true;
    default:
      return false;
  }
}

bool is_reserved_base(const char* component, u32 length) {
  const char* dot = static_cast<const char*>(std::memchr(component, '.', length));
  const char* base_end = dot ? dot : component + length;
  for (const char* name : RESERVED_NAMES) {
    if (compare_folded_range(component, base_end, name, name + std::strlen(name)) == 0) return true;
  }
  return false;
}

// The reason a component is refused (the message's tail), or null when it is fine.
// The rules run in this order so that each refusal names the first rule broken.
const char* component_refusal(const char* component, u32 length) {
  if ((length == 1 && component[0] == '.') || (length == 2 && component[0] == '.' && component[1] == '.'))
    return "special component name";
  if (!is_valid_utf8(component, length)) return "not utf-8";
  for (u32 i = 0; i < length; ++i)
    if (is_unsupported_character((unsigned char)component[i])) return "unsupported character";
  char last = component[length - 1];
  if (last == '.' || last == ' ') return "unsupported last character";
  if (is_reserved_base(component, length)) return "special windows path";
  return nullptr;
}

// Splits at '/' (runs of slashes are one separator; no component is empty).
bool split_components(const char* text, u32 length, array_t<component_t>& out) {
  u32 i = 0;
  while (i < length) {
    while (i < length && text[i] == '/') ++i;
    u32 start = i;
    while (i < length && text[i] != '/') ++i;
    if (i > start && !out.append(component_t{start, i - start})) return false;
  }
  return true;
}

}  // namespace

int compare_folded(const char* a, const char* b) {
  return compare_folded_range(a, a + std::strlen(a), b, b + std::strlen(b));
}

namespace {

// Refusals that are not a component's: the message differs for them.
const char* const REFUSAL_EMPTY = "empty path";
const char* const REFUSAL_NO_MEMORY = "path operation failed";

// Splits the path into components (a backslash separates them like a slash, so that it
// cannot hide a "..") and checks each; the refusal's reason, or null when accepted.
const char* split_and_check(const string& archive_path, mstring_t& path, array_dyn_t<component_t>& components) {
  if (std::strlen(archive_path.c_str()) != archive_path.length()) return "embedded zero";
  if (!path.assign(archive_path)) return REFUSAL_NO_MEMORY;
  char* text = path.raw_buffer();
  for (u32 i = 0; i < path.length(); ++i)
    if (text[i] == '\\') text[i] = '/';
  if (!split_components(text, path.length(), components)) return REFUSAL_NO_MEMORY;
  if (components.empty()) return REFUSAL_EMPTY;
  for (const component_t& c : components)
    if (const char* reason = component_refusal(text + c.offset, c.length)) return reason;
  return nullptr;
}

}  // namespace

const char* extracted_path_refusal(const string& archive_path) {
  mstring_t path;
  array_dyn_t<component_t> components;
  return split_and_check(archive_path, path, components);
}

bool vet_extracted_path(const string& archive_path, string& relative_out) {
  relative_out.clear();
  const shown_name_t shown(archive_path.c_str());
  mstring_t path;
  array_dyn_t<component_t> components;
  if (const char* reason = split_and_check(archive_path, path, components)) {
    if (reason == REFUSAL_NO_MEMORY) {
      log_error("Path operation failed");
    } else if (reason == REFUSAL_EMPTY) {
      log_error("Empty path '%s' encountered in the archive.", shown.c_str());
    } else {
      log_error("Path '%s' is not supported: %s", shown.c_str(), reason);
    }
    return false;
  }
  const char* text = path.c_str();
  for (const component_t& c : components) {
    if ((!relative_out.empty() && !relative_out.append_char('/')) || !relative_out.append(text + c.offset, c.length)) {
      relative_out.clear();
      log_error("Path operation failed");
      return false;
    }
  }
  return true;
}

bool vet_extracted_directory(const string& archive_path, string& relative_out) {
  if (archive_path.length() == 1 && archive_path.c_str()[0] == '/') {
    relative_out.clear();
    return true;
  }
  return vet_extracted_path(archive_path, relative_out);
}

bool make_extracted_target_path(const char* destination_root, const string& relative_path, string& target_out) {
  if (path_join(target_out, destination_root, relative_path.c_str())) return true;
  log_error("Path operation failed");
  return false;
}

bool vet_extracted_target(const string& archive_path, const char* destination_root, string& target_out) {
  target_out.clear();
  mstring_t relative;
  return vet_extracted_path(archive_path, relative) && make_extracted_target_path(destination_root, relative, target_out);
}

auto_ptr_t<file_t> create_vetted_file(const string& target) {
  auto_ptr_t<file_t> file;
  if (!fs_open_create_truncate_system(file, target.c_str()))
    log_error("Failed to create file '%s'!", shown_name_t(target.c_str()).c_str());
  return file;
}

auto_ptr_t<file_t> create_extracted_file(const string& archive_path, const char* destination_root,
                                         string* target_path_out) {
  if (target_path_out) target_path_out->clear();
  mstring_t target;
  if (!vet_extracted_target(archive_path, destination_root, target)) return auto_ptr_t<file_t>();
  auto_ptr_t<file_t> file = create_vetted_file(target);
  if (!file) return file;
  if (target_path_out && !target_path_out->assign(target)) {
    log_error("Path operation failed");
    return auto_ptr_t<file_t>();
  }
  return file;
}

bool write_extracted_data(file_t& file, const void* data, u64 size) {
  // Waited for at once: a file of the system device writes on this thread instead of
  // handing the bytes to the pump and back.
  return file.write_at(data, size, 0);
}

void remove_extracted_file(const string& target) {
  fs_device_t* device = fs_get_system_device();
  if (device && device->remove(target.c_str())) return;
  log_error("Failed to remove the incomplete file '%s'!", shown_name_t(target.c_str()).c_str());
}

}  // namespace umbra
