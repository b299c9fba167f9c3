// The shared library must export exactly the public functions implemented so
// far: every dynamic symbol it defines is a prototype of the public header and
// appears in one of the export lists (tests/exports/*.txt, one per family),
// and every listed name is exported.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> dynamic_symbols(const std::string& lib) {
    std::set<std::string> out;
    std::string cmd = "nm -D --defined-only --format=posix '" + lib + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::istringstream in(line);
        std::string name, type;
        in >> name >> type;
        if (!name.empty()) out.insert(name);
    }
    pclose(p);
    return out;
}

std::set<std::string> header_functions() {
    std::ifstream in(QELCH_HEADER);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    // Each prototype is "QEL_API <type> <name>(" on one line.
    std::set<std::string> out;
    for (size_t at = text.find("QEL_API "); at != std::string::npos; at = text.find("QEL_API ", at + 1)) {
        size_t paren = text.find('(', at);
        size_t start = text.rfind(' ', paren);
        if (paren == std::string::npos || start == std::string::npos || start < at) continue;
        std::string name = text.substr(start + 1, paren - start - 1);
        while (!name.empty() && name[0] == '*') name.erase(0, 1);
        if (name.rfind("qel", 0) == 0) out.insert(name);
    }
    return out;
}

std::set<std::string> listed_exports() {
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(QELCH_EXPORT_LISTS)) {
        if (entry.path().extension() != ".txt") continue;
        std::ifstream in(entry.path());
        for (std::string name; std::getline(in, name);)
            if (!name.empty() && name[0] != '#') out.insert(name);
    }
    return out;
}

TEST(Exports, HeaderDeclaresAllNinetyFunctions) { EXPECT_EQ(header_functions().size(), 90u); }

TEST(Exports, SharedLibraryExportsExactlyTheListedFunctions) {
    auto exported = dynamic_symbols(QELCH_SHARED_LIB);
    auto listed = listed_exports();
    auto header = header_functions();
    ASSERT_FALSE(exported.empty());
    for (const auto& name : listed) EXPECT_TRUE(header.count(name)) << name << " is listed but not in the header";
    for (const auto& name : exported) EXPECT_TRUE(listed.count(name)) << name << " is exported but not listed";
    for (const auto& name : listed) EXPECT_TRUE(exported.count(name)) << name << " is listed but not exported";
}

}  // namespace
