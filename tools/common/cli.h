// Command-line manners shared by the programs: --version and --help on standard
// output with status 0; a usage error names the option (and the accepted range)
// on standard error with status 2.
#pragma once

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifndef KVO_VERSION
#error "KVO_VERSION comes from the build (target_compile_definitions)"
#endif

constexpr int kCliUsageError = 2;

// Walks argv: "--name value" and "--name=value" are both taken.
class CliArgs {
public:
    CliArgs(const char* program, int argc, char** argv)
        : m_program(program), m_argc(argc), m_argv(argv) {}

    bool Next() {
        ++m_index;
        m_inline = nullptr;
        return m_index < m_argc;
    }
    const char* Current() const { return m_argv[m_index]; }

    // The current argument is this option; its "=value" part, if any, is kept.
    bool Is(const char* option) {
        const size_t n = strlen(option);
        const char* arg = m_argv[m_index];
        if (strncmp(arg, option, n) != 0) return false;
        if (arg[n] == '\0') return true;
        if (arg[n] != '=') return false;
        m_inline = arg + n + 1;
        return true;
    }
    // A switch: "--name=x" is an error.
    bool IsFlag(const char* option, bool* error) {
        if (!Is(option)) return false;
        if (m_inline != nullptr) *error = !Fail("%s takes no value", option);
        return true;
    }

    // The option's value; false (after the error line) when it has none.
    bool Text(const char** value) {
        if (m_inline != nullptr) {
            *value = m_inline;
            return true;
        }
        if (m_index + 1 >= m_argc) return Fail("%s needs a value", m_argv[m_index]);
        *value = m_argv[++m_index];
        return true;
    }
    bool Integer(long low, long high, long* value) {
        const std::string option = OptionName();
        const char* text = nullptr;
        if (!Text(&text)) return false;
        char* end = nullptr;
        errno = 0;
        const long long parsed = strtoll(text, &end, 10);
        if (end == text || *end != '\0') {
            return Fail("%s '%s': not a whole number (%ld to %ld)", option.c_str(), text, low,
                        high);
        }
        if (errno == ERANGE || parsed < low || parsed > high) {
            return Fail("%s %s: out of range, %ld to %ld", option.c_str(), text, low, high);
        }
        *value = static_cast<long>(parsed);
        return true;
    }
    bool Number(double low, double high, double* value) {
        const std::string option = OptionName();
        const char* text = nullptr;
        if (!Text(&text)) return false;
        char* end = nullptr;
        const double parsed = strtod(text, &end);
        if (end == text || *end != '\0' || isnan(parsed)) {
            return Fail("%s '%s': not a number (%g to %g)", option.c_str(), text, low, high);
        }
        if (!(parsed >= low && parsed <= high)) {
            return Fail("%s %s: out of range, %g to %g", option.c_str(), text, low, high);
        }
        *value = parsed;
        return true;
    }

    // Usage errors: one line naming the problem, then a pointer to --help. False.
    bool Fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        fprintf(stderr, "%s: ", m_program);
        vfprintf(stderr, format, args);
        va_end(args);
        fprintf(stderr, "\n(see %s --help)\n", m_program);
        return false;
    }
    int Unknown() {
        Fail("unknown option '%s'", m_argv[m_index]);
        return kCliUsageError;
    }

private:
    std::string OptionName() const {
        const char* arg = m_argv[m_index];
        const char* equals = strchr(arg, '=');
        return equals != nullptr ? std::string(arg, static_cast<size_t>(equals - arg)) : arg;
    }

    const char* m_program;
    int m_argc;
    char** m_argv;
    int m_index = 0;
    const char* m_inline = nullptr;
};

inline int CliPrintVersion(const char* program) {
    printf("%s %s\n", program, KVO_VERSION);
    return 0;
}
