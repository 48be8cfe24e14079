// The module functions of the normal and Student's t distributions.
#ifndef VORM_STATS_DISTRIBUTIONS_H
#define VORM_STATS_DISTRIBUTIONS_H

#include "../base/compat.h"

// The argument parsing of the functions: "d" and "di" as PyArg_ParseTuple
// reads them. Exact floats and ints are read directly: converting them runs
// no Python code and gives the values the parser would. Every other
// argument, every wrong count and any keyword goes to the parser, which
// converts the value or raises its own error.
inline bool statsParseDouble(const CompatArgs &args, const char *name, double *x)
{
    if (args.are(1) && compatExactDouble(args[0], x))
        return true;
    return args.parse(name, "d", x);
}

inline bool statsParseDoubleInt(const CompatArgs &args, const char *name, double *x, int *df)
{
    if (args.are(2) && compatExactDouble(args[0], x) && compatExactInt(args[1], df))
        return true;
    return args.parse(name, "di", x, df);
}

// The entries of the module's function table (flags VORM_ARGS_FLAGS).
extern const CompatArgsFunction statsDnorm;
extern const CompatArgsFunction statsPnorm;
extern const CompatArgsFunction statsQnorm;
extern const CompatArgsFunction statsDt;
extern const CompatArgsFunction statsPt;
extern const CompatArgsFunction statsQt;

#endif
