// The generated Unicode 5.1 tables and the code-point services of the
// regular-expression engine: table shapes and samples, the category lookup
// against a plain ordered scan, the property tests, case folding, and a rerun
// of the generator that must reproduce the committed sources byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "regex/compile/unicode_data.h"
#include "regex/compile/unicode_tables.h"

namespace {

using namespace qel::re;

const ScriptTable* script(const char* name) {
    for (const ScriptTable& s : kScripts)
        if (std::strcmp(s.name, name) == 0) return &s;
    return nullptr;
}

const UnicodeBlock* block(const char* name) {
    for (const UnicodeBlock& b : kBlocks)
        if (std::strcmp(b.name, name) == 0) return &b;
    return nullptr;
}

TEST(UnicodeTables, RecordsAreSortedAndEndAtVariationSelectors) {
    ASSERT_EQ(kCodePointRecordCount, 19316);
    for (int32_t i = 1; i < kCodePointRecordCount; ++i)
        ASSERT_LT(kCodePointRecords[i - 1].codePoint, kCodePointRecords[i].codePoint) << "record " << i;
    EXPECT_EQ(kCodePointRecords[kCodePointRecordCount - 1].codePoint, 0xE01EF);
    for (const CodePointRecord& r : kCodePointRecords) ASSERT_LT(bulk_range_index(uint32_t(r.codePoint)), 0) << std::hex << r.codePoint;
}

TEST(UnicodeTables, RecordSamples) {
    struct Row { int32_t cp, category, upper, lower; };
    const Row rows[] = {
        {0x41, 0x82, 0, 0x61},       {0x61, 0x81, 0x41, 0},      {0x130, 0x82, 0, 0x69},
        {0x1C5, 0x84, 0, 0x1C6},     {0x1C6, 0x81, 0x1C4, 0},    {0x301, 0x101, 0, 0},
        {0x20AC, 0x402, 0, 0},       {0x10400, 0x82, 0, 0x10428}, {0xE01EF, 0x101, 0, 0},
        {0x30, 0x801, 0, 0},         {0x2028, 0x202, 0, 0},      {0xAD, 0x2002, 0, 0},
    };
    for (const Row& row : rows) {
        const CodePointRecord* r = find_code_point_record(uint32_t(row.cp));
        ASSERT_NE(r, nullptr) << std::hex << row.cp;
        EXPECT_EQ(r->category, row.category) << std::hex << row.cp;
        EXPECT_EQ(r->upper, row.upper) << std::hex << row.cp;
        EXPECT_EQ(r->lower, row.lower) << std::hex << row.cp;
    }
    EXPECT_EQ(find_code_point_record(0x378), nullptr);
    EXPECT_EQ(find_code_point_record(0x4E00), nullptr);  // bulk range, no record
    EXPECT_EQ(find_code_point_record(0xE01F0), nullptr);
}

TEST(UnicodeTables, BulkRanges) {
    const BulkRange expected[] = {
        {0x3400, 0x4DB5, 0x90},     {0x4E00, 0x9FC3, 0x90},     {0xAC00, 0xD7A3, 0x90},
        {0xD800, 0xDB7F, 0x2008},   {0xDB80, 0xDBFF, 0x2008},   {0xDC00, 0xDFFF, 0x2008},
        {0xE000, 0xF8FF, 0x2004},   {0x20000, 0x2A6D6, 0x90},   {0xF0000, 0xFFFFD, 0x2004},
        {0x100000, 0x10FFFD, 0x2004},
    };
    ASSERT_EQ(kBulkRangeCount, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(kBulkRanges[i].first, expected[i].first) << i;
        EXPECT_EQ(kBulkRanges[i].last, expected[i].last) << i;
        EXPECT_EQ(kBulkRanges[i].category, expected[i].category) << i;
    }
}

TEST(UnicodeTables, ScriptsInOrderWithTheirPairCounts) {
    const char* names =
        "Common 530 Latin 42 Greek 51 Cyrillic 18 Armenian 6 Hebrew 22 Arabic 36 Syriac 7 Thaana 3 "
        "Devanagari 17 Bengali 25 Gurmukhi 21 Gujarati 21 Oriya 25 Tamil 24 Telugu 18 Kannada 20 "
        "Malayalam 18 Sinhala 13 Thai 10 Lao 22 Tibetan 34 Myanmar 33 Georgian 4 Hangul 12 Ethiopic 31 "
        "Cherokee 1 Canadian_Aboriginal 3 Ogham 4 Runic 2 Khmer 17 Mongolian 13 Hiragana 3 Katakana 8 "
        "Bopomofo 2 Han 15 Yi 4 Old_Italic 2 Gothic 4 Deseret 1 Inherited 22 Tagalog 3 Hanunoo 2 Buhid 2 "
        "Tagbanwa 3 Limbu 12 Tai_Le 2 Linear_B 7 Ugaritic 2 Shavian 1 Osmanya 2 Cypriot 6 Braille 1 "
        "Buginese 4 Coptic 6 New_Tai_Lue 6 Glagolitic 2 Tifinagh 2 Syloti_Nagri 11 Old_Persian 4 "
        "Kharoshthi 11 Balinese 17 Cuneiform 3 Phoenician 3 Phags_Pa 2 Nko 7 Sundanese 10 Lepcha 8 "
        "Ol_Chiki 4 Vai 6 Saurashtra 6 Kayah_Li 4 Rejang 4 Lycian 1 Carian 1 Lydian 2 Cham 13";
    std::istringstream in(names);
    std::string name;
    int count = 0;
    int i = 0;
    ASSERT_EQ(kScriptCount, 77);
    while (in >> name >> count) {
        ASSERT_LT(i, kScriptCount);
        EXPECT_EQ(kScripts[i].name, name) << i;
        EXPECT_EQ(kScripts[i].nameLength, int32_t(name.size())) << name;
        EXPECT_EQ(kScripts[i].pairCount, count) << name;
        for (int32_t k = 0; k < kScripts[i].pairCount; ++k)
            EXPECT_LE(kScripts[i].pairs[2 * k], kScripts[i].pairs[2 * k + 1]) << name << " pair " << k;
        ++i;
    }
    EXPECT_EQ(i, 77);
}

TEST(UnicodeTables, ScriptPairSamples) {
    struct Row { const char* name; std::vector<int32_t> head; };
    const Row rows[] = {
        {"Common", {0x00, 0x1F, 0x20, 0x20, 0x21, 0x23, 0x24, 0x24, 0x25, 0x27}},
        {"Latin", {0x41, 0x5A, 0x61, 0x7A, 0xAA, 0xAA, 0xBA, 0xBA, 0xC0, 0xD6, 0xD8, 0xF6}},
        {"Rejang", {0xA930, 0xA946, 0xA947, 0xA951, 0xA952, 0xA953, 0xA95F, 0xA95F}},
    };
    for (const Row& row : rows) {
        const ScriptTable* s = script(row.name);
        ASSERT_NE(s, nullptr) << row.name;
        ASSERT_GE(s->pairCount * 2, int32_t(row.head.size())) << row.name;
        std::vector<int32_t> head(s->pairs, s->pairs + row.head.size());
        EXPECT_EQ(head, row.head) << row.name;
    }
}

TEST(UnicodeTables, BlocksInOrderWithSamples) {
    const char* names =
        "BasicLatin Latin1Supplement LatinExtendedA LatinExtendedB IPAExtensions SpacingModifierLetters "
        "CombiningDiacriticalMarks GreekandCoptic Cyrillic CyrillicSupplement Armenian Hebrew Arabic Syriac "
        "ArabicSupplement Thaana NKo Devanagari Bengali Gurmukhi Gujarati Oriya Tamil Telugu Kannada Malayalam "
        "Sinhala Thai Lao Tibetan Myanmar Georgian HangulJamo Ethiopic EthiopicSupplement Cherokee "
        "UnifiedCanadianAboriginalSyllabics Ogham Runic Tagalog Hanunoo Buhid Tagbanwa Khmer Mongolian Limbu "
        "TaiLe NewTaiLue KhmerSymbols Buginese Balinese Sundanese Lepcha OlChiki PhoneticExtensions "
        "PhoneticExtensionsSupplement CombiningDiacriticalMarksSupplement LatinExtendedAdditional GreekExtended "
        "GeneralPunctuation SuperscriptsandSubscripts CurrencySymbols CombiningDiacriticalMarksforSymbols "
        "LetterlikeSymbols NumberForms Arrows MathematicalOperators MiscellaneousTechnical ControlPictures "
        "OpticalCharacterRecognition EnclosedAlphanumerics BoxDrawing BlockElements GeometricShapes "
        "MiscellaneousSymbols Dingbats MiscellaneousMathematicalSymbolsA SupplementalArrowsA BraillePatterns "
        "SupplementalArrowsB MiscellaneousMathematicalSymbolsB SupplementalMathematicalOperators "
        "MiscellaneousSymbolsandArrows Glagolitic LatinExtendedC Coptic GeorgianSupplement Tifinagh "
        "EthiopicExtended CyrillicExtendedA SupplementalPunctuation CJKRadicalsSupplement KangxiRadicals "
        "IdeographicDescriptionCharacters CJKSymbolsandPunctuation Hiragana Katakana Bopomofo "
        "HangulCompatibilityJamo Kanbun BopomofoExtended CJKStrokes KatakanaPhoneticExtensions "
        "EnclosedCJKLettersandMonths CJKCompatibility CJKUnifiedIdeographsExtensionA YijingHexagramSymbols "
        "CJKUnifiedIdeographs YiSyllables YiRadicals Vai CyrillicExtendedB ModifierToneLetters LatinExtendedD "
        "SylotiNagri Phagspa Saurashtra KayahLi Rejang Cham HangulSyllables HighSurrogates "
        "HighPrivateUseSurrogates LowSurrogates PrivateUseArea CJKCompatibilityIdeographs "
        "AlphabeticPresentationForms ArabicPresentationFormsA VariationSelectors VerticalForms "
        "CombiningHalfMarks CJKCompatibilityForms SmallFormVariants ArabicPresentationFormsB "
        "HalfwidthandFullwidthForms Specials LinearBSyllabary LinearBIdeograms AegeanNumbers "
        "AncientGreekNumbers AncientSymbols PhaistosDisc Lycian Carian OldItalic Gothic Ugaritic OldPersian "
        "Deseret Shavian Osmanya CypriotSyllabary Phoenician Lydian Kharoshthi Cuneiform "
        "CuneiformNumbersandPunctuation ByzantineMusicalSymbols MusicalSymbols AncientGreekMusicalNotation "
        "TaiXuanJingSymbols CountingRodNumerals MathematicalAlphanumericSymbols MahjongTiles DominoTiles "
        "CJKUnifiedIdeographsExtensionB CJKCompatibilityIdeographsSupplement Tags VariationSelectorsSupplement "
        "SupplementaryPrivateUseAreaA SupplementaryPrivateUseAreaB";
    std::istringstream in(names);
    std::string name;
    int i = 0;
    ASSERT_EQ(kBlockCount, 171);
    while (in >> name) {
        ASSERT_LT(i, kBlockCount);
        EXPECT_EQ(std::string(kBlocks[i].name), "In" + name) << i;
        // The name field is zero-padded to its full width.
        for (size_t k = std::strlen(kBlocks[i].name); k < sizeof kBlocks[i].name; ++k) ASSERT_EQ(kBlocks[i].name[k], 0);
        ++i;
    }
    EXPECT_EQ(i, 171);

    struct Row { const char* name; int32_t first, last; };
    const Row rows[] = {
        {"InBasicLatin", 0x0, 0x7F},
        {"InCyrillicSupplement", 0x500, 0x52F},
        {"InMahjongTiles", 0x1F000, 0x1F02F},
        {"InSupplementaryPrivateUseAreaB", 0x100000, 0x10FFFF},
    };
    for (const Row& row : rows) {
        const UnicodeBlock* b = block(row.name);
        ASSERT_NE(b, nullptr) << row.name;
        EXPECT_EQ(b->first, row.first) << row.name;
        EXPECT_EQ(b->last, row.last) << row.name;
    }
}

// The category lookup must give what an ordered scan gives: bulk range first,
// then the first record whose code point is not below c (a record only counts
// when it is c's own). The scan is done as one merge walk over the table.
TEST(CodePointCategory, AgreesWithOrderedScanEverywhere) {
    int32_t next = 0;  // first record not below c
    for (uint32_t c = 0; c <= 0x110000; ++c) {
        while (next < kCodePointRecordCount && uint32_t(kCodePointRecords[next].codePoint) < c) ++next;
        int32_t want = 0;
        bool wantAssigned = false;
        for (const BulkRange& r : kBulkRanges) {
            if (c >= uint32_t(r.first) && c <= uint32_t(r.last)) {
                want = r.category;
                wantAssigned = true;
                break;
            }
        }
        if (!wantAssigned && next < kCodePointRecordCount && uint32_t(kCodePointRecords[next].codePoint) == c) {
            want = kCodePointRecords[next].category;
            wantAssigned = true;
        }
        int32_t got = -1;
        bool assigned = code_point_category(c, &got);
        ASSERT_EQ(assigned, wantAssigned) << std::hex << c;
        if (assigned) {
            ASSERT_EQ(got, want) << std::hex << c;
        }
    }
}

struct PropertyRow {
    uint32_t c;
    int32_t category;
    int32_t negate;
    bool match;
};

TEST(CodePointProperty, CategoryTests) {
    const PropertyRow rows[] = {
        // CJK ideograph (bulk range, Lo)
        {0x4E00, 0x80, 0, true},    {0x4E00, 0x90, 0, true},    {0x4E00, 0x2010, 0, false},
        {0x4E00, 0x82, 0, false},   {0x4E00, 0x80, -1, false},  {0x4E00, 0x87, 0, false},
        {0x4E00, 0x82, -1, true},
        // unassigned below the last record
        {0x378, 0x2010, 0, true},   {0x378, 0x2010, -1, false}, {0x378, 0x80, -1, true},
        {0x378, 0x2000, 0, false},  {0x378, 0x2000, -1, true},  {0xFFFF, 0x2010, 0, true},
        // "A"
        {'A', 0x82, 0, true},       {'A', 0x80, 0, true},       {'A', 0x87, 0, true},
        {'A', 0x81, 0, false},      {'A', 0x81, -1, true},      {'A', 0x80, -1, false},
        {'A', 0x100, 0, false},
        // combining acute accent
        {0x301, 0x100, 0, true},    {0x301, 0x101, 0, true},    {0x301, 0x102, 0, false},
        {0x301, 0x100, -1, false},  {0x301, 0x80, 0, false},    {0x301, 0x80, 1, true},
        // title case and letter subcategories
        {0x1C5, 0x84, 0, true},     {0x1C5, 0x87, 0, true},     {0x2B0, 0x87, 0, false},
        // the last record, and past it: no category test matches, negated or not
        {0xE01EF, 0x101, 0, true},  {0xE01F0, 0x80, 0, false},  {0xE01F0, 0x80, -1, false},
        {0xE01F0, 0x2010, 0, false}, {0xE01F0, 0x2010, -1, false}, {0x10FFFE, 0x2010, 0, false},
        {0x10FFFF, 0x2004, -1, false}, {0x110000, 0x2010, -1, false},
        // surrogates (bulk Cs): every asked bit must be present
        {0xD800, 0x2008, 0, true},  {0xDFFF, 0x2008, 0, true},  {0xDB80, 0x2000, 0, true},
        {0xD800, 0x2004, 0, false}, {0xD800, 0x2008, -1, false}, {0xD800, 0x2004, -1, true},
        {0xD800, 0x2010, 0, false}, {0xD800, 0x2010, -1, true},
        // private use (bulk Co)
        {0xE000, 0x2004, 0, true},  {0xF8FF, 0x2000, 0, true},  {0xE000, 0x2004, -1, false},
        {0xF0000, 0x2004, 0, true}, {0x10FFFD, 0x2004, 0, true}, {0xE000, 0x80, -1, true},
    };
    for (const PropertyRow& r : rows)
        EXPECT_EQ(uprop_test(r.c, r.category, r.negate), r.match)
            << std::hex << "c=" << r.c << " category=" << r.category << " negate=" << std::dec << r.negate;
}

TEST(CodePointProperty, RangeAndScriptTests) {
    // "Any" as the parser writes it.
    for (uint32_t c : {0u, 0x4E00u, 0x378u, 0xE01F0u, 0x10FFFFu}) {
        EXPECT_TRUE(urange_test(c, 0, 0x10FFFF, 0)) << std::hex << c;
        EXPECT_FALSE(urange_test(c, 0, 0x10FFFF, -1)) << std::hex << c;
    }
    EXPECT_FALSE(urange_test(0x110000, 0, 0x10FFFF, 0));
    EXPECT_TRUE(urange_test(0x110000, 0, 0x10FFFF, -1));
    EXPECT_FALSE(urange_test(0x80000000u, 0, 0x7FFFFFFF, 0));
    EXPECT_TRUE(urange_test(0x7F, 0, 0x7F, 0));
    EXPECT_FALSE(urange_test(0x80, 0, 0x7F, 0));

    const ScriptTable* greek = script("Greek");
    ASSERT_NE(greek, nullptr);
    EXPECT_TRUE(uranges_test(0x3B1, greek->pairs, greek->pairCount, 0));
    EXPECT_FALSE(uranges_test('A', greek->pairs, greek->pairCount, 0));
    EXPECT_TRUE(uranges_test('A', greek->pairs, greek->pairCount, -1));
    EXPECT_FALSE(uranges_test(0x3B1, greek->pairs, greek->pairCount, -1));
    const ScriptTable* han = script("Han");
    ASSERT_NE(han, nullptr);
    EXPECT_TRUE(uranges_test(0x4E00, han->pairs, han->pairCount, 0));
    // The last pair of a table is reached.
    const ScriptTable* common = script("Common");
    ASSERT_NE(common, nullptr);
    EXPECT_TRUE(uranges_test(uint32_t(common->pairs[2 * common->pairCount - 1]), common->pairs, common->pairCount, 0));
    // No pairs: rejected, accepted when negated.
    EXPECT_FALSE(uranges_test('A', nullptr, 0, 0));
    EXPECT_TRUE(uranges_test('A', nullptr, 0, -1));
}

TEST(CodePointFold, SimpleLowerCaseMapping) {
    const uint32_t rows[][2] = {
        {'A', 'a'},         {'a', 'a'},         {'0', '0'},         {0x130, 0x69},      {0x1C5, 0x1C6},
        {0x1C4, 0x1C6},     {0x391, 0x3B1},     {0x10400, 0x10428}, {0x4E00, 0x4E00},   {0xD800, 0xD800},
        {0xE000, 0xE000},   {0x378, 0x378},     {0xE01F0, 0xE01F0}, {0x110000, 0x110000}, {0x212A, 'k'},
    };
    for (const auto& r : rows) EXPECT_EQ(fold_code_point(r[0]), r[1]) << std::hex << r[0];
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(UnicodeTables, GeneratorReproducesCommittedSources) {
    std::string data = QELCH_UNICODE_DATA_DIR;
    if (const char* env = std::getenv("QELCH_UNICODE_DATA")) data = env;
    if (data.empty() || !std::filesystem::exists(std::filesystem::path(data) / "UnicodeData.txt"))
        GTEST_SKIP() << "Unicode 5.1 data folder not available (set QELCH_UNICODE_DATA or the CMake cache "
                        "variable QELCH_UNICODE_DATA_DIR); table reproduction not checked";
    if (std::system("python3 --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not available";

    std::string tmpl = (std::filesystem::temp_directory_path() / "qelch-unicode-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::filesystem::path out = tmpl;
    const std::filesystem::path src = std::filesystem::path(QELCH_SOURCE_DIR);
    std::string cmd = "python3 '" + (src / "tools" / "gen_unicode_tables.py").string() + "' '" + data + "' '" +
                      out.string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    for (const char* name : {"unicode_tables.h", "unicode_tables.cpp"}) {
        std::string fresh = read_file(out / name);
        std::string committed = read_file(src / "src" / "regex" / "compile" / name);
        EXPECT_FALSE(fresh.empty()) << name;
        EXPECT_TRUE(fresh == committed) << name << " differs from a fresh generator run";
    }
    std::filesystem::remove_all(out);
}

}  // namespace
