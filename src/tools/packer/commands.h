// The commands of the tool.
#pragma once

namespace umbra {

// Packs the tree below root into a Cairn v2 archive; true on success.
bool create(const char* archive_path, const char* root);
// Unpacks an archive below root ("." when empty); true on success.
bool extract(const char* archive_path, const char* root);
// Prints the entries reached from the root (-json: one JSON document); false when the
// archive cannot be read or a listing has a problem.
bool list_archive(const char* archive_path);
// Prints what the header and the tables say.
bool info_archive(const char* archive_path);
// Reads and decodes everything and prints each problem; true when there is none.
bool verify_archive(const char* archive_path);

}  // namespace umbra
