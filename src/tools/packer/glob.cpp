#include "tools/packer/glob.h"

#include <algorithm>
#include <string>
#include <vector>

#include "umbracore/strings/path.h"
#include "umbracore/strings/string.h"

namespace umbra {

namespace {

enum token_kind_t : u8 {
  TOKEN_BYTE,       // the byte itself
  TOKEN_CHARACTER,  // '?': one character, not a separator
  TOKEN_STAR,       // '*': any run without a separator
  TOKEN_ANY,        // '**': any run
  TOKEN_DIRECTORIES,  // "**/": nothing, or any run that ends in a separator
};

struct token_t {
  token_kind_t kind;
  char byte;
};

const char* skip_leading_separators(const char* text) {
  while (path_is_separator(*text)) ++text;
  return text;
}

std::vector<token_t> tokenize(const char* pattern) {
  std::vector<token_t> tokens;
  for (const char* p = skip_leading_separators(pattern); *p;) {
    if (*p == '?') {
      tokens.push_back({TOKEN_CHARACTER, 0});
      ++p;
    } else if (*p != '*') {
      tokens.push_back({TOKEN_BYTE, path_is_separator(*p) ? '/' : *p});
      ++p;
    } else {
      u64 stars = 0;
      while (*p == '*') ++p, ++stars;
      if (stars == 1) {
        tokens.push_back({TOKEN_STAR, 0});
      } else if (path_is_separator(*p)) {
        tokens.push_back({TOKEN_DIRECTORIES, 0});
        ++p;
      } else {
        tokens.push_back({TOKEN_ANY, 0});
      }
    }
  }
  return tokens;
}

// Bytes of the character at text (one for a byte that starts no valid sequence).
u64 character_length(const char* text, const char* end) {
  u32 code_point = 0;
  int length = decode_utf8_bounded(text, end, &code_point);
  return length > 0 ? (u64)length : 1;
}

}  // namespace

bool glob_match(const char* pattern, const char* path) {
  std::vector<token_t> tokens = tokenize(pattern);
  std::string subject(skip_leading_separators(path));
  for (char& c : subject)
    if (c == '\\') c = '/';
  const u64 n = subject.size();
  const char* text = subject.data();
  // matched[j]: the tokens so far match the first j bytes of the path.
  std::vector<u8> matched(n + 1, 0), next(n + 1, 0);
  matched[0] = 1;
  for (const token_t& token : tokens) {
    std::fill(next.begin(), next.end(), 0);
    switch (token.kind) {
      case TOKEN_BYTE:
        for (u64 j = 0; j < n; ++j)
          if (matched[j] && text[j] == token.byte) next[j + 1] = 1;
        break;
      case TOKEN_CHARACTER:
        for (u64 j = 0; j < n; ++j) {
          if (!matched[j] || text[j] == '/') continue;
          u64 length = character_length(text + j, text + n);
          if (j + length <= n) next[j + length] = 1;
        }
        break;
      case TOKEN_STAR:
        for (u64 j = 0; j <= n; ++j) next[j] = matched[j] || (j > 0 && next[j - 1] && text[j - 1] != '/');
        break;
      case TOKEN_ANY:
        for (u64 j = 0; j <= n; ++j) next[j] = matched[j] || (j > 0 && next[j - 1]);
        break;
      case TOKEN_DIRECTORIES: {
        bool any_before = false;
        for (u64 j = 0; j <= n; ++j) {
          next[j] = matched[j] || (any_before && j > 0 && text[j - 1] == '/');
          any_before = any_before || matched[j];
        }
        break;
      }
    }
    matched.swap(next);
  }
  return matched[n] != 0;
}

}  // namespace umbra
