// Lock contracts the compiler checks: clang's -Wthread-safety reads these attributes and fails
// the build when guarded data is touched without its lock, a function that needs a lock is called
// without it, or one that takes a lock is called with it held. Other compilers (GCC, MinGW) see
// nothing: every macro is empty and the wrappers compile to the std types they hold.
#pragma once

#include <mutex>

#if defined(__clang__)
#define HALVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define HALVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) HALVEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY HALVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) HALVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) HALVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) HALVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) HALVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) HALVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) HALVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS HALVEX_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace halvex {

// std::mutex as a capability the analysis knows (libstdc++'s carries no annotations).
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

  private:
    friend class UniqueLock;
    std::mutex mutex_;
};

// Holds a Mutex for its scope, as std::lock_guard.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

// Holds a Mutex for its scope through a std::unique_lock, which a std::condition_variable waits
// on through native(). A wait gives the mutex up and has it back before it returns, so to the
// analysis the lock is held throughout.
class SCOPED_CAPABILITY UniqueLock {
  public:
    explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    std::unique_lock<std::mutex>& native() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace halvex
