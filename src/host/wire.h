#pragma once
// Plain data as bytes, for the partial results of a pass that travel between the processes of
// a run (host/cluster.h). Every process runs the same build on the same kind of machine, so
// numbers travel as their bytes; what is written is read back by the same type.
//
// What can travel: numbers, enums and other trivially copyable structs without pointers,
// strings, the standard containers vector, map and unordered_map, pair, tuple and optional of
// what can travel, and any struct that lists its members through
//   auto fields() { return std::tie(a, b, c); }
//   auto fields() const { return std::tie(a, b, c); }
// (a plain member function, so that structs local to a function can have it too).
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qv::wire {

// Bytes that do not decode as the type asked for (a fault of the program, not of the data).
struct DecodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Writer {
  std::string bytes;
  void raw(const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); }
};

struct Reader {
  const char* at;
  const char* end;
  explicit Reader(const std::string& s) : at(s.data()), end(s.data() + s.size()) {}
  Reader(const char* p, size_t n) : at(p), end(p + n) {}
  bool done() const { return at == end; }
  void raw(void* p, size_t n) {
    if (static_cast<size_t>(end - at) < n) throw DecodeError("partial result cut short");
    if (n > 0) std::memcpy(p, at, n);
    at += n;
  }
  size_t count() {
    uint64_t n;
    raw(&n, sizeof n);
    if (n > static_cast<uint64_t>(end - at) * 8 + 64) throw DecodeError("partial result with a bad length");
    return static_cast<size_t>(n);
  }
};

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};
template <class T>
struct IsPair : std::false_type {};
template <class A, class B>
struct IsPair<std::pair<A, B>> : std::true_type {};
template <class T>
struct IsTuple : std::false_type {};
template <class... T>
struct IsTuple<std::tuple<T...>> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsMap : std::false_type {};
template <class K, class V, class C, class A>
struct IsMap<std::map<K, V, C, A>> : std::true_type {};
template <class K, class V, class H, class E, class A>
struct IsMap<std::unordered_map<K, V, H, E, A>> : std::true_type {};

template <class T>
concept HasFields = requires(T& t, const T& c) {
  t.fields();
  c.fields();
};

// A trivially copyable value travels as its bytes; a struct that lists its fields never does
// (its fields may hold containers), nor does anything holding a pointer we can see.
template <class T>
constexpr bool kAsBytes = std::is_trivially_copyable_v<T> && !HasFields<T> && !std::is_pointer_v<T> &&
                          !IsPair<T>::value && !IsTuple<T>::value;

template <class T>
void put(Writer& w, const T& v);
template <class T>
void get(Reader& r, T& v);

template <class T>
void put(Writer& w, const T& v) {
  if constexpr (kAsBytes<T>) {
    w.raw(&v, sizeof v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    const uint64_t n = v.size();
    w.raw(&n, sizeof n);
    w.raw(v.data(), v.size());
  } else if constexpr (IsVector<T>::value) {
    const uint64_t n = v.size();
    w.raw(&n, sizeof n);
    using E = typename T::value_type;
    if constexpr (kAsBytes<E> && !std::is_same_v<E, bool>) {
      w.raw(v.data(), v.size() * sizeof(E));
    } else {
      for (const auto& e : v) put(w, static_cast<const E&>(e));
    }
  } else if constexpr (IsMap<T>::value) {
    const uint64_t n = v.size();
    w.raw(&n, sizeof n);
    for (const auto& [k, e] : v) {
      put(w, k);
      put(w, e);
    }
  } else if constexpr (IsPair<T>::value) {
    put(w, v.first);
    put(w, v.second);
  } else if constexpr (IsTuple<T>::value) {
    std::apply([&](const auto&... e) { (put(w, e), ...); }, v);
  } else if constexpr (IsOptional<T>::value) {
    const char has = v.has_value() ? 1 : 0;
    w.raw(&has, 1);
    if (v) put(w, *v);
  } else if constexpr (HasFields<T>) {
    std::apply([&](const auto&... e) { (put(w, e), ...); }, v.fields());
  } else {
    static_assert(sizeof(T) == 0, "this type cannot travel between processes: give it fields()");
  }
}

template <class T>
void get(Reader& r, T& v) {
  if constexpr (kAsBytes<T>) {
    r.raw(&v, sizeof v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    const size_t n = r.count();
    v.resize(n);
    r.raw(v.data(), n);
  } else if constexpr (IsVector<T>::value) {
    const size_t n = r.count();
    using E = typename T::value_type;
    v.clear();
    if constexpr (kAsBytes<E> && !std::is_same_v<E, bool>) {
      if (n > static_cast<size_t>(r.end - r.at) / sizeof(E)) throw DecodeError("partial result cut short");
      v.resize(n);
      r.raw(v.data(), n * sizeof(E));
    } else {
      v.resize(n);
      for (size_t i = 0; i < n; ++i) {
        E e{};
        get(r, e);
        v[i] = std::move(e);
      }
    }
  } else if constexpr (IsMap<T>::value) {
    const size_t n = r.count();
    v.clear();
    for (size_t i = 0; i < n; ++i) {
      typename T::key_type k{};
      typename T::mapped_type e{};
      get(r, k);
      get(r, e);
      v.emplace(std::move(k), std::move(e));
    }
  } else if constexpr (IsPair<T>::value) {
    get(r, v.first);
    get(r, v.second);
  } else if constexpr (IsTuple<T>::value) {
    std::apply([&](auto&... e) { (get(r, e), ...); }, v);
  } else if constexpr (IsOptional<T>::value) {
    char has = 0;
    r.raw(&has, 1);
    if (has) {
      typename T::value_type e{};
      get(r, e);
      v = std::move(e);
    } else {
      v.reset();
    }
  } else if constexpr (HasFields<T>) {
    std::apply([&](auto&... e) { (get(r, e), ...); }, v.fields());
  } else {
    static_assert(sizeof(T) == 0, "this type cannot travel between processes: give it fields()");
  }
}

}  // namespace qv::wire
