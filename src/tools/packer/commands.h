// The two commands of the tool.
#pragma once

namespace umbra {

// Packs the tree below root into a Cairn v2 archive; true on success.
bool create(const char* archive_path, const char* root);
// Unpacks an archive below root ("." when empty); returns the exit code.
int extract(const char* root, const char* archive_path);

}  // namespace umbra
