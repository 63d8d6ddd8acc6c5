#include "tools/packer/extract_selection.h"

#include <cstring>

#include "tools/packer/glob.h"
#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/strings/path.h"
#include "umbracore/strings/string_escape.h"

namespace umbra {

namespace {

bool starts_option(const char* word) { return word[0] == '-' || word[0] == '+'; }

// Whether the normalised path has a component "." or "..": no archive entry can be
// extracted under such a name, and asking for one is a mistake worth a line.
bool has_dot_component(const mstring_t& relative) {
  const char* p = relative.c_str();
  while (*p) {
    const char* end = std::strchr(p, '/');
    u64 length = end ? (u64)(end - p) : std::strlen(p);
    if ((length == 1 && p[0] == '.') || (length == 2 && p[0] == '.' && p[1] == '.')) return true;
    p += length;
    if (*p) ++p;
  }
  return false;
}

// Whether relative lies at or below base (both normalised; "" is the root).
bool at_or_below(const char* relative, const mstring_t& base) {
  if (base.empty()) return true;
  u64 length = base.length();
  return std::strncmp(relative, base.c_str(), length) == 0 && (relative[length] == 0 || relative[length] == '/');
}

}  // namespace

void normalize_archive_path(const char* path, string& out) {
  out.clear();
  for (const char* p = path; *p;) {
    while (path_is_separator(*p)) ++p;
    if (!*p) break;
    if (!out.empty()) out.append_char('/');
    const char* start = p;
    while (*p && !path_is_separator(*p)) ++p;
    out.append(start, (u64)(p - start));
  }
}

bool extract_selection_t::add_named(const char* word) {
  named_t named;
  normalize_archive_path(word, named.relative);
  append_escaped_for_display(named.shown, word);
  any_named_ = true;
  if (has_dot_component(named.relative)) {
    log_error("'%s' cannot name an entry of the archive: '.' and '..' are no path components there",
              named.shown.c_str());
    refused_ = true;
    return false;
  }
  return named_.append(std::move(named));
}

bool extract_selection_t::read_command_line() {
  bool ok = true;
  u32 i = 3;
  // A refused path is told now and fails the run at its end, after the others.
  for (; i < cdl->count && !starts_option(cdl->words[i]); ++i) add_named(cdl->words[i]);
  for (; i < cdl->count; ++i) {
    const char* word = cdl->words[i];
    if (std::strcmp(word, "-stdout") == 0) to_stdout_ = true;
    if (std::strcmp(word, "-filter") != 0) continue;
    if (i + 1 == cdl->count || starts_option(cdl->words[i + 1])) {
      log_error("%s requires value", "-filter");
      ok = false;
      continue;
    }
    // Every value word is one more pattern: "-filter *.txt *.bin".
    for (; i + 1 < cdl->count && !starts_option(cdl->words[i + 1]); ++i) {
      filter_t filter;
      filter.pattern.assign(cdl->words[i + 1]);
      append_escaped_for_display(filter.shown, cdl->words[i + 1]);
      filters_.append(std::move(filter));
    }
  }
  if (to_stdout_ && ok) {
    if (named_.count() != 1 || refused_ || !filters_.empty()) {
      log_error("-stdout writes one file: name exactly one file after the archive, and no -filter");
      return false;
    }
    stdout_path_.format("/%s", named_[0].relative.c_str());
  }
  return ok;
}

extract_selection_t::named_t* extract_selection_t::named_for(const mstring_t& relative) {
  for (named_t& named : named_)
    if (named.relative.equals(relative.c_str())) return &named;
  return nullptr;
}

bool extract_selection_t::may_hold_selected(const char* directory_path) const {
  if (!filters_.empty()) return true;
  mstring_t relative;
  normalize_archive_path(directory_path, relative);
  for (const named_t& named : named_)
    if (at_or_below(relative.c_str(), named.relative) || at_or_below(named.relative.c_str(), relative)) return true;
  return false;
}

bool extract_selection_t::selects_directory(const char* directory_path) const {
  mstring_t relative;
  normalize_archive_path(directory_path, relative);
  for (const named_t& named : named_)
    if (at_or_below(relative.c_str(), named.relative)) return true;
  return false;
}

void extract_selection_t::note_directory(const char* directory_path) {
  mstring_t relative;
  normalize_archive_path(directory_path, relative);
  if (named_t* named = named_for(relative)) named->found = true;
}

bool extract_selection_t::selects_file(const char* file_path) {
  mstring_t relative;
  normalize_archive_path(file_path, relative);
  bool selected = false;
  for (named_t& named : named_) {
    if (!at_or_below(relative.c_str(), named.relative)) continue;
    selected = true;
    if (named.relative.equals(relative.c_str())) named.found = true;
  }
  for (filter_t& filter : filters_) {
    if (!glob_match(filter.pattern.c_str(), file_path)) continue;
    selected = true;
    filter.matched = true;
  }
  return selected;
}

void extract_selection_t::unreached_paths(array_t<mstring_t>& out) const {
  for (const named_t& named : named_) {
    if (named.found) continue;
    mstring_t path;
    path.format("/%s", named.relative.c_str());
    out.append(std::move(path));
  }
}

void extract_selection_t::mark_found(const char* device_path) {
  mstring_t relative;
  normalize_archive_path(device_path, relative);
  if (named_t* named = named_for(relative)) named->found = true;
}

bool extract_selection_t::report_unmatched() const {
  bool ok = !refused_;
  for (const named_t& named : named_) {
    if (named.found) continue;
    log_error("'%s' is not in the archive", named.shown.c_str());
    ok = false;
  }
  for (const filter_t& filter : filters_) {
    if (filter.matched) continue;
    log_error("-filter '%s' matches no file of the archive", filter.shown.c_str());
    ok = false;
  }
  return ok;
}

}  // namespace umbra
