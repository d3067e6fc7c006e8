// Branch hints the compilers that know them use; elsewhere the condition stands as it is.
#pragma once

// A condition as likely true as false (a key comparison in a search tree): the compiler then
// prefers selecting between both outcomes to a branch that is mispredicted every other time.
#if defined(__has_builtin)
#if __has_builtin(__builtin_expect_with_probability)
#define NATIVE_UTIL_UNPREDICTABLE(condition) __builtin_expect_with_probability((condition), 1, 0.5)
#endif
#endif
#ifndef NATIVE_UTIL_UNPREDICTABLE
#define NATIVE_UTIL_UNPREDICTABLE(condition) (condition)
#endif
