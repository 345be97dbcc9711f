// Debian's GNUstep uses GCC's objc runtime headers, whose inline object_getClass reads a member
// of `id` that clang's builtin `id` does not have. The definition is renamed onto a stand-in
// type here, and the function is declared again as clang expects it.
#pragma once
#include <objc/objc.h>
struct korvale_gcc_objc_object {
    Class class_pointer;
};
#define object_getClass(unused) korvale_gcc_object_getClass(struct korvale_gcc_objc_object *object)
#include_next <objc/runtime.h>
#undef object_getClass
Class object_getClass(id object);
