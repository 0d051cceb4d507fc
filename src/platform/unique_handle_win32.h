#pragma once
// RAII owners for Win32 handles.

#include <windows.h>

#include <utility>

namespace velk {

// Owns a kernel HANDLE; INVALID_HANDLE_VALUE and null both mean "none".
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : h_(h) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }
  HANDLE release() { return std::exchange(h_, nullptr); }
  void reset(HANDLE h = nullptr) {
    if (valid()) ::CloseHandle(h_);
    h_ = h;
  }
  HANDLE* put() { reset(); return &h_; }

 private:
  HANDLE h_ = nullptr;
};

// Owns memory returned by LocalAlloc (security descriptors, SID strings).
template <class T>
class UniqueLocal {
 public:
  UniqueLocal() = default;
  explicit UniqueLocal(T p) : p_(p) {}
  ~UniqueLocal() { if (p_) ::LocalFree(reinterpret_cast<HLOCAL>(p_)); }
  UniqueLocal(const UniqueLocal&) = delete;
  UniqueLocal& operator=(const UniqueLocal&) = delete;
  T get() const { return p_; }
  T* put() { return &p_; }

 private:
  T p_ = nullptr;
};

// Owns a Service Control Manager handle (the manager or one service).
class UniqueScHandle {
 public:
  explicit UniqueScHandle(SC_HANDLE h = nullptr) : h_(h) {}
  ~UniqueScHandle() { if (h_) ::CloseServiceHandle(h_); }
  UniqueScHandle(const UniqueScHandle&) = delete;
  UniqueScHandle& operator=(const UniqueScHandle&) = delete;
  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  SC_HANDLE h_;
};

}  // namespace velk
