#include "walk.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "common.h"

namespace app {

bool glob_match(const char* p, const char* s) {
    for (;;) {
        if (*p == '\0') return *s == '\0';
        if (p[0] == '*' && p[1] == '*') {
            // "**/" matches zero or more whole directories; a trailing "**"
            // matches everything below.
            const char* rest = p + 2;
            if (*rest == '/') {
                ++rest;
                if (glob_match(rest, s)) return true;
                for (const char* q = s; *q; ++q)
                    if (*q == '/' && glob_match(rest, q + 1)) return true;
                return false;
            }
            if (*rest == '\0') return true;
            for (const char* q = s;; ++q) {
                if (glob_match(rest, q)) return true;
                if (!*q) return false;
            }
        }
        if (*p == '*') {
            for (const char* q = s;; ++q) {
                if (glob_match(p + 1, q)) return true;
                if (!*q || *q == '/') return false;
            }
        }
        if (*s == '\0') return false;
        if (*p == '?') {
            if (*s == '/') return false;
        } else if (*p == '[') {
            const char* q = p + 1;
            bool negate = *q == '!' || *q == '^';
            if (negate) ++q;
            bool hit = false;
            const char* start = q;
            while (*q && (*q != ']' || q == start)) {
                if (q[1] == '-' && q[2] && q[2] != ']') {
                    if (*s >= q[0] && *s <= q[2]) hit = true;
                    q += 3;
                } else {
                    if (*q == '\\' && q[1]) ++q;
                    if (*s == *q) hit = true;
                    ++q;
                }
            }
            if (*q != ']') {  // no closing bracket: a literal '['
                if (*s != '[') return false;
            } else {
                if (hit == negate || *s == '/') return false;
                p = q;
            }
        } else {
            if (*p == '\\' && p[1]) ++p;
            if (*p != *s) return false;
        }
        ++p;
        ++s;
    }
}

namespace {

struct Rule {
    std::string glob;  // relative to the ignore file's directory when anchored
    bool negate = false, dir_only = false, anchored = false;
};

// The rules of one directory: .ignore before .gitignore, since the former
// takes precedence.
struct RuleSet {
    std::string base;    // directory of the ignore files, relative to the walk root ("" = root)
    std::string prefix;  // for a directory above the root: the way down to the root, with '/' 
    std::vector<Rule> rules;  // in reverse order of precedence: the last matching one decides
};

void read_rules(const std::string& file, std::vector<Rule>& out) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        while (!line.empty() && line.back() == ' ' && !(line.size() > 1 && line[line.size() - 2] == '\\'))
            line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Rule r;
        if (line[0] == '!') {
            r.negate = true;
            line.erase(0, 1);
        } else if (line[0] == '\\' && line.size() > 1 && (line[1] == '#' || line[1] == '!')) {
            line.erase(0, 1);
        }
        if (!line.empty() && line.back() == '/') {
            r.dir_only = true;
            line.pop_back();
        }
        if (line.empty()) continue;
        if (line.find('/') != std::string::npos) {
            r.anchored = true;
            if (line[0] == '/') line.erase(0, 1);
        }
        r.glob = line;
        out.push_back(r);
    }
}

bool exists(const std::string& p) {
    struct stat st{};
    return ::lstat(p.c_str(), &st) == 0;
}

// Is `rel` (relative to the walk root) ignored? Deeper rule sets decide
// before shallower ones; within a set the last matching rule decides.
bool ignored(const std::vector<RuleSet>& sets, const std::string& rel, bool is_dir) {
    for (auto set = sets.rbegin(); set != sets.rend(); ++set) {
        std::string sub = set->prefix + (set->base.empty() ? rel : rel.substr(set->base.size() + 1));
        const char* name = std::strrchr(sub.c_str(), '/');
        name = name ? name + 1 : sub.c_str();
        for (auto r = set->rules.rbegin(); r != set->rules.rend(); ++r) {
            if (r->dir_only && !is_dir) continue;
            if (glob_match(r->glob.c_str(), r->anchored ? sub.c_str() : name)) return !r->negate;
        }
    }
    return false;
}

struct Walker {
    const WalkOptions& o;
    bool quiet;
    std::vector<std::string>& out;
    std::vector<RuleSet> sets;
    bool ok = true;

    void dir(const std::string& path, const std::string& rel, bool in_repo) {
        DIR* d = ::opendir(path.c_str());
        if (!d) {
            if (!quiet) error(path + ": " + std::strerror(errno));
            ok = false;
            return;
        }
        // The entry type from the directory itself spares a stat per entry
        // where the file system gives it.
        std::vector<std::pair<std::string, unsigned char>> names;
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
            names.emplace_back(e->d_name, e->d_type);
        }
        ::closedir(d);
        std::sort(names.begin(), names.end());
        const std::string prefix = path + "/";
        bool pushed = false;
        if (!o.no_ignore) {
            // A .gitignore counts inside a repository only, as version
            // control would read it; a .ignore counts everywhere.
            in_repo = in_repo || exists(prefix + ".git");
            RuleSet set;
            set.base = rel;
            if (in_repo) read_rules(prefix + ".gitignore", set.rules);
            read_rules(prefix + ".ignore", set.rules);
            if (!set.rules.empty()) {
                sets.push_back(std::move(set));
                pushed = true;
            }
        }
        for (const auto& [n, type] : names) {
            if (!o.hidden && n[0] == '.') continue;
            const std::string full = prefix + n;
            const std::string sub = rel.empty() ? n : rel + "/" + n;
            mode_t mode = type == DT_REG ? S_IFREG : type == DT_DIR ? S_IFDIR : type == DT_LNK ? S_IFLNK : 0;
            if (mode == 0) {
                struct stat st{};
                if (::lstat(full.c_str(), &st) != 0) {
                    if (!quiet) error(full + ": " + std::strerror(errno));
                    ok = false;
                    continue;
                }
                mode = st.st_mode;
            }
            if (S_ISLNK(mode)) continue;
            bool is_dir = S_ISDIR(mode);
            if (!o.no_ignore && ignored(sets, sub, is_dir)) continue;
            if (is_dir) {
                bool skip = false;
                for (const auto& g : o.exclude_dirs) skip = skip || ::fnmatch(g.c_str(), n.c_str(), 0) == 0;
                if (!skip) dir(full, sub, in_repo);
            } else if (S_ISREG(mode) && name_selected(o, n)) {
                out.push_back(full);
            }
        }
        if (pushed) sets.pop_back();
    }
};

}  // namespace

bool name_selected(const WalkOptions& o, const std::string& path) {
    const char* name = std::strrchr(path.c_str(), '/');
    name = name ? name + 1 : path.c_str();
    for (const auto& g : o.excludes)
        if (::fnmatch(g.c_str(), name, 0) == 0) return false;
    if (o.includes.empty()) return true;
    for (const auto& g : o.includes)
        if (::fnmatch(g.c_str(), name, 0) == 0) return true;
    return false;
}

bool walk_tree(const WalkOptions& o, const std::string& root, bool quiet, std::vector<std::string>& out) {
    Walker w{o, quiet, out, {}, true};
    // The directories above the root: whether the walk starts inside a
    // repository, and their ignore files, which cover the walk too (a
    // .gitignore up to the repository's top, a .ignore up to the file
    // system's root), as version control and ripgrep read them.
    bool in_repo = false;
    if (!o.no_ignore) {
        std::unique_ptr<char, void (*)(void*)> real(::realpath(root.c_str(), nullptr), std::free);
        std::vector<std::string> above;  // nearest first
        if (real) {
            for (std::string p = real.get(); p.size() > 1;) {
                size_t slash = p.rfind('/');
                p = slash == 0 ? "/" : p.substr(0, slash);
                above.push_back(p);
            }
            const std::string start = real.get();
            // The repository's top: the nearest directory with a .git, from
            // the root upwards.
            std::string top;
            if (exists(start + "/.git")) top = start;
            for (size_t k = 0; top.empty() && k < above.size(); ++k)
                if (exists((above[k] == "/" ? "" : above[k]) + "/.git")) top = above[k];
            in_repo = !top.empty();
            std::vector<RuleSet> sets;  // nearest first
            for (const std::string& dir : above) {
                const std::string d = dir == "/" ? "" : dir;
                RuleSet set;
                set.prefix = start.substr(d.size() + 1) + "/";
                if (!top.empty() && dir.size() >= top.size()) read_rules(d + "/.gitignore", set.rules);
                read_rules(d + "/.ignore", set.rules);
                if (!set.rules.empty()) sets.push_back(std::move(set));
            }
            w.sets.assign(sets.rbegin(), sets.rend());
        }
    }
    std::string path = root;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    w.dir(path, "", in_repo);
    return w.ok;
}

}  // namespace app
