// The table behind the 32-bit fields that carry routines and records between
// the driver and the capture minidriver (the connect record): each side
// registers what it hands out and gets a 32-bit token; the receiving side
// resolves the token back. Nothing narrows a real pointer, and a token resolves
// only to the type it was registered with.
#pragma once

#include <cstdint>
#include <type_traits>
#include <typeindex>
#include <typeinfo>

namespace kroutine {

using Token = std::uint32_t;  // 0: none
using AnyRoutine = void (*)();

Token addEntry(std::type_index type, AnyRoutine routine, void* object);
bool lookupEntry(Token token, std::type_index type, AnyRoutine* routine, void** object);
// Forgets the token; later resolves fail. Unknown tokens are ignored.
void remove(Token token);
// Tokens in use (tests check that a device leaves none behind).
std::size_t count();

// Registers a routine; 0 when the table is full.
template <typename Fn>
Token add(Fn* routine) {
    static_assert(std::is_function_v<Fn>);
    if (routine == nullptr) return 0;
    return addEntry(std::type_index(typeid(Fn*)), reinterpret_cast<AnyRoutine>(routine), nullptr);
}

// The routine of that type behind the token, or null.
template <typename Fn>
Fn* resolve(Token token) {
    static_assert(std::is_function_v<Fn>);
    AnyRoutine r = nullptr;
    if (!lookupEntry(token, std::type_index(typeid(Fn*)), &r, nullptr)) return nullptr;
    return reinterpret_cast<Fn*>(r);
}

// Registers a record (an object the other side passes back unchanged).
template <typename T>
Token addObject(T* object) {
    if (object == nullptr) return 0;
    return addEntry(std::type_index(typeid(T*)), nullptr, object);
}

template <typename T>
T* resolveObject(Token token) {
    void* o = nullptr;
    if (!lookupEntry(token, std::type_index(typeid(T*)), nullptr, &o)) return nullptr;
    return static_cast<T*>(o);
}

}  // namespace kroutine
