// The one place where an archive path becomes a file on disk. Every archive path is
// vetted component by component before anything is created, so that no archive can
// write outside the destination root, name a Windows device, or produce a name that
// Windows cannot hold.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

class file_t;

// Compares two zero-terminated UTF-8 strings after folding them to lower case (ASCII,
// fullwidth Latin letters, common accented Latin, Greek, Cyrillic and Vietnamese
// capitals; ß counts as "ss"). A byte that starts no valid sequence stands for itself
// as a signed byte. Returns 0 when equal, otherwise the difference of the first pair of
// folded characters that differ.
int compare_folded(const char* a, const char* b);

// Why the archive path would be refused ("special windows path", "empty path", ...),
// or null when extraction accepts it. Prints nothing.
const char* extracted_path_refusal(const string& archive_path);

// Vets an archive file path and writes its components joined by '/' into relative_out
// (emptied first). A refusal logs one error line and returns false.
bool vet_extracted_path(const string& archive_path, string& relative_out);

// The same vetting for a directory path taken from a listing, with one difference: the
// archive root "/" is accepted and gives the empty relative path.
bool vet_extracted_directory(const string& archive_path, string& relative_out);

// The destination root followed by the relative path, with one '/' between them unless
// the root already ends in a separator; an empty root gives "/" + relative path.
bool make_extracted_target_path(const char* destination_root, const string& relative_path,
                                string& target_out);

// The vetting half of create_extracted_file: the target path of archive_path below
// destination_root (emptied first); false after the refusal's line.
bool vet_extracted_target(const string& archive_path, const char* destination_root, string& target_out);

// The creating half: creates (or empties) a target that vet_extracted_target gave.
// Empty after the failure's lines.
auto_ptr_t<file_t> create_vetted_file(const string& target);

// Vets the archive path, then creates (or empties) the target file below the
// destination root on the system file device. When target_path_out is given it is
// emptied first and receives the target path on success. Empty on refusal or failure;
// a refused path never touches the disk.
auto_ptr_t<file_t> create_extracted_file(const string& archive_path, const char* destination_root,
                                         string* target_path_out);

// Writes size bytes at offset 0 of a file made by create_extracted_file and waits for
// them; false when they cannot all be written.
bool write_extracted_data(file_t& file, const void* data, u64 size);

// Deletes a target that extraction created but could not fill (its file closed first):
// a file cut short by a full disk must not pass for an extracted one. Logs an error
// line when even that fails, so that the user knows which file is damaged.
void remove_extracted_file(const string& target);

}  // namespace umbra
