// The files a recursive grep searches: a directory walk in name order that
// skips hidden entries and what .gitignore and .ignore files exclude, and
// the --include/--exclude name filters.
#ifndef QELCH_APP_WALK_H
#define QELCH_APP_WALK_H

#include <string>
#include <vector>

namespace app {

struct WalkOptions {
    bool hidden = false;     // also names that start with '.'
    bool no_ignore = false;  // ignore files are not read
    std::vector<std::string> includes, excludes, exclude_dirs;
};

// True when a file of this name passes --include/--exclude.
bool name_selected(const WalkOptions& o, const std::string& path);

// Appends the files under `root` (a directory) to `out`, in byte order of
// their names, directories descended where they stand. Symbolic links met
// during the walk are not followed. Returns false when a directory could
// not be read (message printed unless `quiet`); the walk goes on.
bool walk_tree(const WalkOptions& o, const std::string& root, bool quiet, std::vector<std::string>& out);

// Glob as ignore files write them: '*' and '?' stop at '/', "**" crosses
// directories, [...] classes.
bool glob_match(const char* pattern, const char* path);

}  // namespace app

#endif
