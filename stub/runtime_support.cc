// The three routines that the compiler may call on its own even in code that
// never calls them: it turns structure copies and clears into memcpy and
// memset, and probes the stack through ___chkstk_ms before a frame larger
// than a page. The image links no C runtime, so it brings its own.
#include <stddef.h>

// Without this option GCC recognises the loops below as the very patterns it
// replaces with calls to memset and memcpy, and each would call itself.
#define RUNTIME_ROUTINE \
  __attribute__((optimize("no-tree-loop-distribute-patterns")))

extern "C" {

RUNTIME_ROUTINE void* memset(void* destination, int value, size_t count) {
  unsigned char* bytes = static_cast<unsigned char*>(destination);
  const unsigned char fill = static_cast<unsigned char>(value);
  for (size_t i = 0; i < count; ++i) bytes[i] = fill;
  return destination;
}

RUNTIME_ROUTINE void* memcpy(void* destination, const void* source,
                             size_t count) {
  unsigned char* to = static_cast<unsigned char*>(destination);
  const unsigned char* from = static_cast<const unsigned char*>(source);
  for (size_t i = 0; i < count; ++i) to[i] = from[i];
  return destination;
}

}  // extern "C"

// Stack probe: the caller passes the size of the frame it is about to
// allocate in rax and subtracts it from rsp itself afterwards. Windows
// commits the stack one guard page at a time, so every page between the
// current stack pointer and the new one is touched in order, top down.
// Every register, rax included, is left as it was. The routine pushes two
// registers, so it needs a function-table entry like any compiled function:
// an exception raised on a probed page is unwound through it.
asm(R"(
    .section .text$___chkstk_ms,"x"
    .globl ___chkstk_ms
    .def ___chkstk_ms; .scl 2; .type 32; .endef
___chkstk_ms:
    .seh_proc ___chkstk_ms
    pushq %rcx
    .seh_pushreg %rcx
    pushq %rax
    .seh_pushreg %rax
    .seh_endprologue
    # rcx: the stack pointer as it was before the call to this routine.
    leaq 24(%rsp), %rcx
    cmpq $0x1000, %rax
    jb 2f
1:
    subq $0x1000, %rcx
    orq $0, (%rcx)
    subq $0x1000, %rax
    cmpq $0x1000, %rax
    ja 1b
2:
    subq %rax, %rcx
    orq $0, (%rcx)
    popq %rax
    popq %rcx
    ret
    .seh_endproc
)");
