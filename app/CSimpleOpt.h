// A small command-line option scanner over a table of options.
//
// Words that do not begin with "-" are not options: they are moved behind the options
// (argv is reordered in place) and never reported. "-opt=value" splits at the "=". An
// exact match of a table row wins; otherwise the typed text may abbreviate exactly one
// row with the same number of leading hyphens. Errors come back from Next() with a
// non-zero LastError(); the caller decides whether to report them.
#ifndef _CSimpleOpt_H_
#define _CSimpleOpt_H_

#include <cstddef>

// Argument kinds of a table row.
enum {
    SO_NONE = 0, // the option takes no argument
    SO_REQ = 1,  // the option requires an argument: "=value" or the next word
};

// Results of one scanning step.
enum ESOError {
    SO_SUCCESS = 0,
    SO_OPT_INVALID = -1,  // no row matches
    SO_OPT_MULTIPLE = -2, // the abbreviation matches several rows
    SO_ARG_INVALID = -3,  // an "=value" given to an option without argument
    SO_ARG_MISSING = -4,  // no usable argument for an option that needs one
};

template <class SOCHAR> class CSimpleOptTempl {
public:
    // One table row; the table ends with a row whose id is -1 and whose text is null.
    struct SOption {
        int nId;
        const SOCHAR *pszArg;
        int nArgType;
    };

    CSimpleOptTempl(int argc, SOCHAR *argv[], const SOption *options)
        : m_argv(argv), m_options(options), m_nArgc(argc > 0 ? argc : 0), m_nNextOption(1),
          m_nLastArg(m_nArgc) {}

    // Looks at the next option word. True while there was one; then LastError(),
    // OptionId(), OptionText() and OptionArg() describe it.
    bool Next() {
        m_nLastError = SO_SUCCESS;
        m_nOptionId = -1;
        m_pszOptionText = nullptr;
        m_pszOptionArg = nullptr;
        m_szTyped[0] = 0;

        // Non-option words go behind everything still to be scanned.
        while (m_nNextOption < m_nLastArg && m_argv[m_nNextOption][0] != (SOCHAR)'-')
            MoveToEnd(m_nNextOption);
        if (m_nNextOption >= m_nLastArg)
            return false;

        SOCHAR *word = m_argv[m_nNextOption++];

        // Split "-opt=value". The typed option is copied so that argv stays untouched.
        const SOCHAR *equals = nullptr;
        size_t typedLen = 0;
        for (const SOCHAR *p = word; *p; ++p) {
            if (*p == (SOCHAR)'=') {
                equals = p;
                break;
            }
            ++typedLen;
        }
        bool tooLong = typedLen >= kTypedMax; // longer than any row: cannot match
        if (tooLong)
            typedLen = kTypedMax - 1;
        for (size_t i = 0; i < typedLen; ++i)
            m_szTyped[i] = word[i];
        m_szTyped[typedLen] = 0;
        m_pszOptionText = m_szTyped;

        int row = -1;
        int err = tooLong ? SO_OPT_INVALID : FindRow(m_szTyped, typedLen, row);
        if (err != SO_SUCCESS) {
            m_nLastError = err;
            return true;
        }
        m_nOptionId = m_options[row].nId;
        m_pszOptionText = m_options[row].pszArg;

        if (m_options[row].nArgType == SO_NONE) {
            if (equals)
                m_nLastError = SO_ARG_INVALID;
            return true;
        }
        if (equals) {
            m_pszOptionArg = equals + 1;
            return true;
        }
        // The argument is the next word, unless there is none or it is an option itself,
        // which is then scanned on the next step.
        if (m_nNextOption >= m_nLastArg || m_argv[m_nNextOption][0] == (SOCHAR)'-') {
            m_nLastError = SO_ARG_MISSING;
            return true;
        }
        m_pszOptionArg = m_argv[m_nNextOption++];
        return true;
    }

    ESOError LastError() const { return (ESOError)m_nLastError; }
    int OptionId() const { return m_nOptionId; }
    // The table row's text after a match, the typed text after a failed match.
    const SOCHAR *OptionText() const { return m_pszOptionText; }
    const SOCHAR *OptionArg() const { return m_pszOptionArg; }

private:
    static const size_t kTypedMax = 256;

    static size_t Hyphens(const SOCHAR *text) {
        size_t n = 0;
        while (text[n] == (SOCHAR)'-')
            ++n;
        return n;
    }

    static size_t Length(const SOCHAR *text) {
        size_t n = 0;
        while (text[n])
            ++n;
        return n;
    }

    static bool Equal(const SOCHAR *a, size_t aLen, const SOCHAR *b) {
        for (size_t i = 0; i < aLen; ++i)
            if (b[i] != a[i])
                return false;
        return b[aLen] == 0;
    }

    // Exact match first; else the only row that the typed text abbreviates.
    int FindRow(const SOCHAR *typed, size_t len, int &row) const {
        for (int i = 0; m_options[i].nId != -1 && m_options[i].pszArg; ++i)
            if (Equal(typed, len, m_options[i].pszArg)) {
                row = i;
                return SO_SUCCESS;
            }

        size_t hyphens = Hyphens(typed);
        size_t body = len - (hyphens < len ? hyphens : len);
        if (body == 0)
            return SO_OPT_INVALID;
        int best = -1;
        size_t bestLen = 0;
        int tied = 0;
        for (int i = 0; m_options[i].nId != -1 && m_options[i].pszArg; ++i) {
            const SOCHAR *text = m_options[i].pszArg;
            if (Hyphens(text) != hyphens)
                continue;
            const SOCHAR *rowBody = text + hyphens;
            if (Length(rowBody) <= body)
                continue; // a prefix must be a proper one
            size_t k = 0;
            while (k < body && rowBody[k] == typed[hyphens + k])
                ++k;
            if (k != body)
                continue;
            if (k > bestLen) {
                best = i;
                bestLen = k;
                tied = 0;
            } else if (k == bestLen) {
                ++tied;
            }
        }
        if (best < 0)
            return SO_OPT_INVALID;
        if (tied > 0)
            return SO_OPT_MULTIPLE;
        row = best;
        return SO_SUCCESS;
    }

    // Rotates the word at `index` to the very end of argv; the words moved before it shift
    // down by one, so the moved words keep their order.
    void MoveToEnd(int index) {
        SOCHAR *word = m_argv[index];
        int last = m_nArgc - 1;
        for (int i = index; i < last; ++i)
            m_argv[i] = m_argv[i + 1];
        m_argv[last] = word;
        --m_nLastArg;
    }

    SOCHAR **m_argv;
    const SOption *m_options;
    int m_nArgc;
    int m_nNextOption;
    int m_nLastArg;
    int m_nLastError = SO_SUCCESS;
    int m_nOptionId = -1;
    const SOCHAR *m_pszOptionText = nullptr;
    const SOCHAR *m_pszOptionArg = nullptr;
    SOCHAR m_szTyped[kTypedMax] = {};
};

typedef CSimpleOptTempl<char> CSimpleOptA;
typedef CSimpleOptA CSimpleOpt;

#endif
