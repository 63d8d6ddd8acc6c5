// What extract writes when the command line names only some of the archive: the paths
// that follow the archive name (a file, or a directory with everything below it) and
// the patterns of -filter. An entry is extracted when it lies at or below a named path
// or matches a pattern. Without either, everything is, exactly as before.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

class extract_selection_t {
 public:
  // Reads the words that follow the archive name up to the first option word, every
  // -filter and -stdout. False after an error line for a -filter without its pattern
  // or -stdout not given exactly one path. A word that can name no entry (a "." or
  // ".." component) gets its error line here, selects nothing, and fails the run at
  // its end (report_unmatched).
  bool read_command_line();

  bool selects_everything() const { return !any_named_ && filters_.empty(); }
  bool to_stdout() const { return to_stdout_; }
  // The one path -stdout writes (a device path, "/a/b.txt").
  const mstring_t& stdout_path() const { return stdout_path_; }

  // Whether the walk must read the directory's listing: something selected may lie
  // below it.
  bool may_hold_selected(const char* directory_path) const;
  // Whether the directory is created for its own sake (it lies at or below a named
  // path); other directories are made only as parents of selected files.
  bool selects_directory(const char* directory_path) const;
  // Whether the file is extracted; marks the names and patterns that selected it.
  bool selects_file(const char* file_path);
  // Marks a directory reached by the walk, so that a named directory counts as found.
  void note_directory(const char* directory_path);

  // The named paths no walk reached, as device paths ("/a/b"), for a lookup by hash.
  void unreached_paths(array_t<mstring_t>& out) const;
  // Counts a named path as found (a hidden entry that was looked up by hash).
  void mark_found(const char* device_path);
  // Prints an error line for every named path that is still not found and every
  // pattern that matched nothing; false when there was any, or a refused word.
  bool report_unmatched() const;

 private:
  struct named_t {
    mstring_t relative;  // normalised: '/'-separated, no leading or trailing '/'
    mstring_t shown;     // the word as given, escaped
    bool found = false;
  };
  struct filter_t {
    mstring_t pattern;
    mstring_t shown;
    bool matched = false;
  };

  bool add_named(const char* word);
  named_t* named_for(const mstring_t& relative);

  array_dyn_t<named_t> named_;
  array_dyn_t<filter_t> filters_;
  bool any_named_ = false;
  bool refused_ = false;
  bool to_stdout_ = false;
  mstring_t stdout_path_;
};

// An archive path as selections compare it: a backslash counts as a separator, runs of
// separators as one, and none is kept at either end ("/a\\b//c/" gives "a/b/c").
void normalize_archive_path(const char* path, string& out);

}  // namespace umbra
