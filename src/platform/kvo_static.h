// An object built once in static storage and never destroyed: for the stateless
// production seams that threads may still reach while the process exits or the
// library unloads. Unlike a leaked heap object, nothing is left behind after an
// unload, so loading and unloading the library many times does not grow memory.
#pragma once

#include <new>

template <class T>
T* NeverDestroyed() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* const instance = new (storage) T();
    return instance;
}
