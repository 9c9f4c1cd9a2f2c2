// Per-process globals of a user-mode deliverable: the ASIO driver's one
// object per process, COM server counts, the panel's application object,
// trace providers. A user-mode library keeps no other writable global.
//
// On Windows a function-local static is the image's, hence the process's.
// The simulator runs several processes in one host process, so it keeps a
// slot per (process, T) instead, made on first use and destroyed when the
// process goes.
#pragma once

#if defined(_WIN32)

template <class T>
T& ImageState() {
    static T state;
    return state;
}

#else

// The calling process's slot for `key`; `make` creates it on first use.
void* ImageStateSlot(const void* key, void* (*make)(), void (*destroy)(void*));

template <class T>
T& ImageState() {
    static const char key = 0;  // one address per T
    return *static_cast<T*>(ImageStateSlot(
        &key, []() -> void* { return new T(); }, [](void* state) { delete static_cast<T*>(state); }));
}

#endif
