/*
 * qelch — fast string primitives, UTF-8/UTF-16 conversion and a backtracking
 * regular-expression engine for x86-64 with AVX2.
 *
 * Conventions shared by every function:
 *  - Strings are a pointer plus a signed 32-bit length counted in code units
 *    (bytes for the _8u functions, 16-bit units for the _16u ones). Nothing is
 *    read past the given length; only the _Z functions, the pattern and options
 *    strings of the regular-expression compiler and the replacement template
 *    are zero-terminated.
 *  - Every function but qelchGetLibVersion returns a QelStatus: 0 on success,
 *    a negative error, or a positive warning for a partial result.
 *  - Arguments are checked in a fixed order before anything is written:
 *    pointers (qelErrNullPtr), then lengths and indices (qelErrLength), then
 *    counts (qelErrSize), then value arguments (qelErrBadArg / qelErrRange).
 *    On an argument error every output keeps its former contents (the list
 *    functions excepted: entries already written stay written).
 *  - An index result of -1 means "not found".
 *  - Memory is allocated only by qelsRegExpInitAlloc and
 *    qelsRegExpMultiInitAlloc; everything else works in caller memory.
 *  - No global mutable state: any function may run on any number of threads
 *    as long as they share no output buffer and no regular-expression state.
 */
#ifndef QELCH_H
#define QELCH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QELCH_BUILDING_LIBRARY)
#define QEL_API __attribute__((visibility("default")))
#else
#define QEL_API
#endif

typedef uint8_t Qel8u;
typedef uint16_t Qel16u;
typedef uint32_t Qel32u;

typedef int32_t QelStatus;
enum {
    qelWrnTruncated = 27,         /* a split piece was cut to its slot's room */
    qelWrnSplitIncomplete = 26,   /* every slot used while source text remained */
    qelWrnFindIncomplete = 12,    /* result array too small for every record */
    qelOk = 0,
    qelErrNotFound = -2,          /* no pattern with that identifier in the set */
    qelErrBadArg = -5,            /* value outside its allowed set (identifier 0, a state already in the set) */
    qelErrSize = -6,              /* a count below 1 */
    qelErrRange = -7,             /* unsupported format code */
    qelErrNullPtr = -8,           /* required pointer null / allocation failed */
    qelErrNoSlot = -9,            /* the pattern set is full */
    qelErrLength = -119,          /* negative length, index or range outside */
    qelErrRegExpEscape = -183,
    qelErrRegExpCharClass = -184,
    qelErrRegExpReference = -185,
    qelErrRegExpGroup = -186,
    qelErrRegExpQuantifier = -187,
    qelErrMatchLimit = -188,      /* a search gave up: see "Budgets" below */
    qelErrBadState = -189,        /* not a compiled regular-expression state */
    qelErrRegExpOption = -190     /* unknown letter in the options string */
};

typedef struct QelLibraryVersion {
    int32_t major;
    int32_t minor;
    int32_t update;
    int32_t revision;
    char targetCode[4];
    const char* name;
    const char* versionText;
    const char* buildDate;
} QelLibraryVersion;

/* One match or capture: a pointer into the caller's subject and a length in
 * bytes; {NULL, -1} for a capture that took no part in the match. */
typedef struct QelRegExpFind {
    const Qel8u* pointer;
    int32_t length;
} QelRegExpFind;

/* One result record per pattern-set slot (record i belongs to slot i). */
typedef struct QelRegExpMultiFind {
    int32_t searched;    /* set to 1 when the slot held a pattern and was searched */
    int32_t identifier;  /* the slot's identifier */
    int32_t count;       /* in: capacity of results; out: records written */
    QelStatus status;    /* status of this slot's search */
    QelRegExpFind* results;
} QelRegExpMultiFind;

/* Opaque, caller-owned blocks; their sizes come from the GetSize functions.
 * They hold pointers into themselves: never move or copy them bytewise. */
typedef struct QelRegExpState QelRegExpState;
typedef struct QelRegExpReplaceState QelRegExpReplaceState;
typedef struct QelRegExpMultiState QelRegExpMultiState;

/* ---- The 90 exported functions, in byte-wise alphabetical order. ---- */

/* The constant version record: the same pointer on every call. */
QEL_API const QelLibraryVersion* qelchGetLibVersion(void);

/* Compare: *result = difference of the first differing (folded) units, or 0.
 * IgnoreCaseLatin folds A-Z onto a-z only; IgnoreCase_16u folds by the
 * library's simple Unicode lower-case mapping. */
QEL_API QelStatus qelsCompareIgnoreCaseLatin_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result);
QEL_API QelStatus qelsCompareIgnoreCaseLatin_8u(const Qel8u* src1, const Qel8u* src2, int32_t len, int32_t* result);
QEL_API QelStatus qelsCompareIgnoreCase_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result);
QEL_API QelStatus qelsCompare_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result);
QEL_API QelStatus qelsCompare_8u(const Qel8u* src1, const Qel8u* src2, int32_t len, int32_t* result);

/* Concatenation: of two strings, of a list, and of a list with a separator
 * unit between entries. List entries are checked only when reached; on a bad
 * entry k, entries 0..k-1 are already written to dst. */
QEL_API QelStatus qelsConcatC_16u_D2L(const Qel16u* const srcs[], const int32_t lens[], int32_t count, Qel16u separator, Qel16u* dst);
QEL_API QelStatus qelsConcatC_8u_D2L(const Qel8u* const srcs[], const int32_t lens[], int32_t count, Qel8u separator, Qel8u* dst);
QEL_API QelStatus qelsConcat_16u(const Qel16u* src1, int32_t len1, const Qel16u* src2, int32_t len2, Qel16u* dst);
QEL_API QelStatus qelsConcat_16u_D2L(const Qel16u* const srcs[], const int32_t lens[], int32_t count, Qel16u* dst);
QEL_API QelStatus qelsConcat_8u(const Qel8u* src1, int32_t len1, const Qel8u* src2, int32_t len2, Qel8u* dst);
QEL_API QelStatus qelsConcat_8u_D2L(const Qel8u* const srcs[], const int32_t lens[], int32_t count, Qel8u* dst);

/* UTF conversion, resumable: on entry *srcLen / *dstLen are what is available;
 * on return, what was consumed / written. swap != 0 selects byte-swapped
 * (big-endian) 16-bit units. Always qelOk apart from null pointers. A UTF-8
 * sequence whose lead byte announces more bytes than *srcLen leaves is not
 * consumed (conversion stops before it), so converting in pieces gives what
 * one call gives; a negative length converts nothing. In the other direction a
 * high surrogate that is the last unit given is encoded on its own: a caller
 * converting UTF-16 in pieces should hold such a unit back for the next piece
 * so that a pair split between pieces still becomes one 4-byte sequence. */
QEL_API QelStatus qelsConvertUTF_16u8u(const Qel16u* src, int32_t* srcLen, Qel8u* dst, int32_t* dstLen, int32_t swap);
QEL_API QelStatus qelsConvertUTF_8u16u(const Qel8u* src, int32_t* srcLen, Qel16u* dst, int32_t* dstLen, int32_t swap);

/* Equality: *result = 1 when all len units are equal, else 0. */
QEL_API QelStatus qelsEqual_16u(const Qel16u* src1, const Qel16u* src2, int32_t len, int32_t* result);
QEL_API QelStatus qelsEqual_8u(const Qel8u* src1, const Qel8u* src2, int32_t len, int32_t* result);

/* Search: *index = first (Rev: last) position, -1 when not found. CAny: any
 * unit of a set. An empty substring is never found; occurrences may overlap. */
QEL_API QelStatus qelsFindCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen, int32_t* index);
QEL_API QelStatus qelsFindCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, int32_t* index);
QEL_API QelStatus qelsFindC_16u(const Qel16u* src, int32_t len, Qel16u c, int32_t* index);
QEL_API QelStatus qelsFindC_8u(const Qel8u* src, int32_t len, Qel8u c, int32_t* index);
QEL_API QelStatus qelsFindC_Z_16u(const Qel16u* src, Qel16u c, int32_t* index);
QEL_API QelStatus qelsFindC_Z_8u(const Qel8u* src, Qel8u c, int32_t* index);
QEL_API QelStatus qelsFindRevCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen, int32_t* index);
QEL_API QelStatus qelsFindRevCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, int32_t* index);
QEL_API QelStatus qelsFindRevC_16u(const Qel16u* src, int32_t len, Qel16u c, int32_t* index);
QEL_API QelStatus qelsFindRevC_8u(const Qel8u* src, int32_t len, Qel8u c, int32_t* index);
QEL_API QelStatus qelsFindRev_16u(const Qel16u* src, int32_t len, const Qel16u* sub, int32_t subLen, int32_t* index);
QEL_API QelStatus qelsFindRev_8u(const Qel8u* src, int32_t len, const Qel8u* sub, int32_t subLen, int32_t* index);
QEL_API QelStatus qelsFind_16u(const Qel16u* src, int32_t len, const Qel16u* sub, int32_t subLen, int32_t* index);
QEL_API QelStatus qelsFind_8u(const Qel8u* src, int32_t len, const Qel8u* sub, int32_t subLen, int32_t* index);
QEL_API QelStatus qelsFind_Z_16u(const Qel16u* src, const Qel16u* sub, int32_t* index);
QEL_API QelStatus qelsFind_Z_8u(const Qel8u* src, const Qel8u* sub, int32_t* index);

/* Hashes, bit-exact: shift-xor (Hash), times-33-xor stopping at a zero unit
 * (HashMSCS), times-31-add (HashSJ2). */
QEL_API QelStatus qelsHashMSCS_16u32u(const Qel16u* src, int32_t len, Qel32u* hash);
QEL_API QelStatus qelsHashMSCS_8u32u(const Qel8u* src, int32_t len, Qel32u* hash);
QEL_API QelStatus qelsHashSJ2_16u32u(const Qel16u* src, int32_t len, Qel32u* hash);
QEL_API QelStatus qelsHashSJ2_8u32u(const Qel8u* src, int32_t len, Qel32u* hash);
QEL_API QelStatus qelsHash_16u32u(const Qel16u* src, int32_t len, Qel32u* hash);
QEL_API QelStatus qelsHash_8u32u(const Qel8u* src, int32_t len, Qel32u* hash);

/* Insert: dst = src[0..start) + ins + src[start..). With insLen 0 the copying
 * form still copies src to dst, so the call always yields the edited string. */
QEL_API QelStatus qelsInsert_16u(const Qel16u* src, int32_t srcLen, const Qel16u* ins, int32_t insLen, Qel16u* dst, int32_t start);
QEL_API QelStatus qelsInsert_16u_I(const Qel16u* ins, int32_t insLen, Qel16u* buf, int32_t* len, int32_t start);
QEL_API QelStatus qelsInsert_8u(const Qel8u* src, int32_t srcLen, const Qel8u* ins, int32_t insLen, Qel8u* dst, int32_t start);
QEL_API QelStatus qelsInsert_8u_I(const Qel8u* ins, int32_t insLen, Qel8u* buf, int32_t* len, int32_t start);

/* Latin case: A-Z <-> a-z only; every other unit passes through. */
QEL_API QelStatus qelsLowercaseLatin_16u(const Qel16u* src, Qel16u* dst, int32_t len);
QEL_API QelStatus qelsLowercaseLatin_16u_I(Qel16u* buf, int32_t len);
QEL_API QelStatus qelsLowercaseLatin_8u(const Qel8u* src, Qel8u* dst, int32_t len);
QEL_API QelStatus qelsLowercaseLatin_8u_I(Qel8u* buf, int32_t len);

/* Simple one-to-one Unicode case mapping of 16-bit units. */
QEL_API QelStatus qelsLowercase_16u(const Qel16u* src, Qel16u* dst, int32_t len);
QEL_API QelStatus qelsLowercase_16u_I(Qel16u* buf, int32_t len);

/* Regular expressions. Lifecycle: GetSize, Init (or InitAlloc), optional
 * SetMatchLimit / SetFormat (format 1 = UTF-8, the default; 0 = bytes), any
 * number of searches, Free for InitAlloc'd states. Options: "i", "m", "s",
 * "x", "g". A state serves one search at a time.
 *
 * Budgets. Every search call (Find, Replace, each slot of a MultiFind) runs
 * under three bounds:
 *  - the nesting budget: at most `limit` match steps nested in one another,
 *    where `limit` is the state's match limit (10000 after every compile;
 *    qelsRegExpSetMatchLimit sets it, 0 or more);
 *  - the stack guard: a path that would come within a safety margin of the
 *    calling thread's stack end is not followed;
 *  - the work budget: at most `limit` x (`limit` + 500) match steps in the
 *    whole call (1.05 x 10^8 at the default limit, a few seconds of work;
 *    17024 at a limit of 32, milliseconds); each step of the backtracking
 *    matcher, and each copy a repeat takes or gives back, counts one. A
 *    search that does not backtrack without end stays far below it.
 * When any of them cuts a path, the path might have held the leftmost match,
 * so the search stops at once and the call returns qelErrMatchLimit:
 *  - qelsRegExpFind_8u without "g": no records; *resultCount is already
 *    lowered to min(capacity, capture count) and does not count records;
 *  - with "g": the records of the matches found before the cut stay in
 *    `results`, *resultCount keeps its value on entry (the capacity);
 *  - qelsRegExpReplace_8u: nothing is written to dst, *subjectLen and
 *    *dstLen keep their values;
 *  - qelsRegExpMultiFind_8u: the status of that slot's record; the other
 *    slots and the call's own status are not affected.
 * A search in which nothing was cut is never reported this way, and its
 * results do not depend on the budgets. Patterns that cut at the default
 * limit are those whose matching needs deep nesting (a repeated group over
 * thousands of characters) or exponential backtracking ("(x+x+)+y"); a
 * larger match limit raises both budgets, and a limit of 0 lets no step run. */
QEL_API QelStatus qelsRegExpFind_8u(const Qel8u* subject, int32_t subjectLen, QelRegExpState* state, QelRegExpFind* results, int32_t* resultCount);
QEL_API void qelsRegExpFree(QelRegExpState* state);
QEL_API QelStatus qelsRegExpGetSize(const char* pattern, int32_t* size);
QEL_API QelStatus qelsRegExpInit(const char* pattern, const char* options, QelRegExpState* state, int32_t* errOffset);
QEL_API QelStatus qelsRegExpInitAlloc(const char* pattern, const char* options, QelRegExpState** state, int32_t* errOffset);

/* Pattern sets: up to a fixed number of compiled patterns, each under a
 * non-zero identifier, searched in one call (in parallel when there are more
 * slots than the library may use threads). The set does not own the states.
 * A state may stand in one slot only, since a search writes its state:
 * qelsRegExpMultiAdd of a state that a slot already holds, and
 * qelsRegExpMultiModify that would put a state held by another slot into a
 * second one, return qelErrBadArg and change nothing. */
QEL_API QelStatus qelsRegExpMultiAdd(QelRegExpState* state, int32_t id, QelRegExpMultiState* multiState);
QEL_API QelStatus qelsRegExpMultiDelete(int32_t id, QelRegExpMultiState* multiState);
QEL_API QelStatus qelsRegExpMultiFind_8u(const Qel8u* subject, int32_t subjectLen, QelRegExpMultiFind* multiResults, const QelRegExpMultiState* multiState);
QEL_API void qelsRegExpMultiFree(QelRegExpMultiState* multiState);
QEL_API QelStatus qelsRegExpMultiGetSize(Qel32u maxPatterns, int32_t* size);
QEL_API QelStatus qelsRegExpMultiInit(QelRegExpMultiState* multiState, Qel32u maxPatterns);
QEL_API QelStatus qelsRegExpMultiInitAlloc(QelRegExpMultiState** multiState, Qel32u maxPatterns);
QEL_API QelStatus qelsRegExpMultiModify(QelRegExpState* state, int32_t id, QelRegExpMultiState* multiState);

/* Replacement with a template: "$&" the whole match, "$n" capture n (n >= 1,
 * every digit that follows is read), "$$" one dollar sign; a backslash ends a
 * literal run and is dropped (it does not escape "$"). Any other "$" is
 * qelErrRegExpReference. The replace state points into the template, which
 * must outlive it. */
QEL_API QelStatus qelsRegExpReplaceGetSize(const char* tmpl, int32_t* size);
QEL_API QelStatus qelsRegExpReplaceInit(const char* tmpl, QelRegExpReplaceState* replaceState);
QEL_API QelStatus qelsRegExpReplace_8u(const Qel8u* subject, int32_t* subjectLen, Qel8u* dst, int32_t* dstLen, QelRegExpFind* results, int32_t* resultCount, QelRegExpState* state, QelRegExpReplaceState* replaceState);
QEL_API QelStatus qelsRegExpSetFormat(int32_t format, QelRegExpState* state);
QEL_API QelStatus qelsRegExpSetMatchLimit(int32_t limit, QelRegExpState* state);

/* Remove: dst = src without src[start..start+removeLen). */
QEL_API QelStatus qelsRemove_16u(const Qel16u* src, int32_t srcLen, Qel16u* dst, int32_t start, int32_t removeLen);
QEL_API QelStatus qelsRemove_16u_I(Qel16u* buf, int32_t* len, int32_t start, int32_t removeLen);
QEL_API QelStatus qelsRemove_8u(const Qel8u* src, int32_t srcLen, Qel8u* dst, int32_t start, int32_t removeLen);
QEL_API QelStatus qelsRemove_8u_I(Qel8u* buf, int32_t* len, int32_t start, int32_t removeLen);

/* Replace every occurrence of one unit by another. */
QEL_API QelStatus qelsReplaceC_16u(const Qel16u* src, Qel16u* dst, int32_t len, Qel16u oldVal, Qel16u newVal);
QEL_API QelStatus qelsReplaceC_8u(const Qel8u* src, Qel8u* dst, int32_t len, Qel8u oldVal, Qel8u newVal);

/* Split at a separator unit into caller slots: in, slotLens[k] is slot k's
 * room and *count the number of slots; out, the piece lengths and the number
 * of pieces. qelWrnSplitIncomplete (source left over) takes precedence over
 * qelWrnTruncated (a piece cut to its room). */
QEL_API QelStatus qelsSplitC_16u_D2L(const Qel16u* src, int32_t len, Qel16u separator, Qel16u* slots[], int32_t slotLens[], int32_t* count);
QEL_API QelStatus qelsSplitC_8u_D2L(const Qel8u* src, int32_t len, Qel8u separator, Qel8u* slots[], int32_t slotLens[], int32_t* count);

/* Trimming: remove a unit (TrimC) or any unit of a set (TrimCAny) from both
 * ends, the start only or the end only; _I forms move the kept stretch to the
 * start of the buffer. */
QEL_API QelStatus qelsTrimCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen, Qel16u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, Qel8u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimC_16u(const Qel16u* src, int32_t len, Qel16u c, Qel16u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimC_16u_I(Qel16u* buf, int32_t* len, Qel16u c);
QEL_API QelStatus qelsTrimC_8u(const Qel8u* src, int32_t len, Qel8u c, Qel8u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimC_8u_I(Qel8u* buf, int32_t* len, Qel8u c);
QEL_API QelStatus qelsTrimEndCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen, Qel16u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimEndCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, Qel8u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimStartCAny_16u(const Qel16u* src, int32_t len, const Qel16u* set, int32_t setLen, Qel16u* dst, int32_t* dstLen);
QEL_API QelStatus qelsTrimStartCAny_8u(const Qel8u* src, int32_t len, const Qel8u* set, int32_t setLen, Qel8u* dst, int32_t* dstLen);

QEL_API QelStatus qelsUppercaseLatin_16u(const Qel16u* src, Qel16u* dst, int32_t len);
QEL_API QelStatus qelsUppercaseLatin_16u_I(Qel16u* buf, int32_t len);
QEL_API QelStatus qelsUppercaseLatin_8u(const Qel8u* src, Qel8u* dst, int32_t len);
QEL_API QelStatus qelsUppercaseLatin_8u_I(Qel8u* buf, int32_t len);
QEL_API QelStatus qelsUppercase_16u(const Qel16u* src, Qel16u* dst, int32_t len);
QEL_API QelStatus qelsUppercase_16u_I(Qel16u* buf, int32_t len);

#ifdef __cplusplus
}
#endif

#endif /* QELCH_H */
