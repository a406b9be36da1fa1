#pragma once

#include <dlfcn.h>

#include <string>

namespace varen::platform {

// A library opened on first use and kept for the life of the process. The audio device and
// audio file libraries are opened this way: together with what they pull in they are a dozen
// libraries, and a process that never records or reads a file would otherwise load and relocate
// them all at every start.
//
// Thread safety: made once (a function-local static) and read-only afterwards.
class SharedLibrary {
  public:
    explicit SharedLibrary(const char* soname) : soname_(soname) {
        handle_ = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (!handle_) failure_ = describe(dlerror());
    }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool loaded() const { return handle_ != nullptr && failure_.empty(); }
    // Why the library or one of its functions is missing; empty when all is there.
    const std::string& failure() const { return failure_; }

    // Binds `slot` to the function of that name, in the library or in those it brought in.
    template <typename Function>
    void bind(Function& slot, const char* name) {
        slot = nullptr;
        if (!handle_) return;
        slot = reinterpret_cast<Function>(dlsym(handle_, name));
        if (!slot && failure_.empty()) failure_ = describe(("no " + std::string(name)).c_str());
    }

    // Like `bind`, for an optional function: a missing one leaves `slot` null and is no failure.
    template <typename Function>
    void lookUp(Function& slot, const char* name) const {
        slot = handle_ ? reinterpret_cast<Function>(dlsym(handle_, name)) : nullptr;
    }

  private:
    std::string describe(const char* why) const {
        return "cannot load " + soname_ + ": " + (why ? why : "unknown error");
    }

    std::string soname_;
    void* handle_ = nullptr;
    std::string failure_;
};

// A library's calls, bound when it is opened: `Calls` is a struct of function pointers that
// `bindCalls` fills, one `bind` each.
//
// Thread safety: made once (a function-local static) and read-only afterwards.
template <typename Calls>
class LoadedCalls {
  public:
    LoadedCalls(const char* soname, void (*bindCalls)(SharedLibrary&, Calls&)) : library_(soname) {
        bindCalls(library_, calls_);
    }
    // Null when the library or one of the calls is missing; `library().failure()` says why.
    const Calls* get() const { return library_.loaded() ? &calls_ : nullptr; }
    const SharedLibrary& library() const { return library_; }

  private:
    SharedLibrary library_;
    Calls calls_{};
};

}  // namespace varen::platform
