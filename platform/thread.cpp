#include "platform/thread.h"

#include <pthread.h>

#include <cstring>

namespace {

void cut_name(const char* name, char out[16]) {
  strncpy(out, name, 15);
  out[15] = 0;
}

}  // namespace

void thread_set_name(std::thread& thread, const char* name) {
  char cut[16];
  cut_name(name, cut);
  pthread_setname_np(thread.native_handle(), cut);
}

void thread_set_own_name(const char* name) {
  char cut[16];
  cut_name(name, cut);
  pthread_setname_np(pthread_self(), cut);
}
