// Whole-word access to plain 32-bit fields that several threads share without
// a lock (configuration floats, limits): a load or store is never torn.
#pragma once

static_assert(sizeof(float) == 4, "32-bit float expected");

template <class T>
inline T WordLoad(const T& word) {
    static_assert(sizeof(T) <= 4, "whole-word access is for 32-bit fields");
    T value;
    __atomic_load(&word, &value, __ATOMIC_RELAXED);
    return value;
}

template <class T>
inline void WordStore(T& word, T value) {
    static_assert(sizeof(T) <= 4, "whole-word access is for 32-bit fields");
    __atomic_store(&word, &value, __ATOMIC_RELAXED);
}
