// Linked into every test program of the build without sanitizers. It counts the threads the
// program starts (std::thread and the libraries' threads all go through pthread_create), and
// fails the run of a suite that started one without carrying the `threads` label: that label
// is what puts a suite into the thread-sanitizer run, so a suite cannot start a thread and
// stay out of it.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>

#ifndef TESTQAV_LABELLED_THREADS
#error "the test helper sets TESTQAV_LABELLED_THREADS to 0 or 1"
#endif

namespace {

std::atomic<int> threads_started{0};

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateFn NextCreate() {
  void* next = dlsym(RTLD_NEXT, "pthread_create");
  CreateFn fn = nullptr;
  std::memcpy(&fn, &next, sizeof fn);
  return fn;
}

class ThreadCensus : public testing::Environment {
 public:
  void TearDown() override {
    if (TESTQAV_LABELLED_THREADS == 0 && threads_started.load() > 0) {
      ADD_FAILURE() << "this suite started " << threads_started.load()
                    << " thread(s) but has no `threads` label: add LABELS threads to its "
                       "testqav_test() so that the thread-sanitizer run includes it";
    }
  }
};

[[maybe_unused]] testing::Environment* const census =
    testing::AddGlobalTestEnvironment(new ThreadCensus);

}  // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
  static const CreateFn next = NextCreate();
  threads_started.fetch_add(1);
  return next(thread, attr, start, arg);
}
