// Thread names, so a debugger or `top -H` shows what each thread is. Thread-safe: yes.
#pragma once
#include <thread>

// Names a running thread (at most 15 characters are kept).
void thread_set_name(std::thread& thread, const char* name);
// Names the calling thread.
void thread_set_own_name(const char* name);
