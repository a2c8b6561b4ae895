// The guard value that the stack protector checks on the way out of every
// function with a local array or a local whose address is taken.
#ifndef STUB_STACK_GUARD_H_
#define STUB_STACK_GUARD_H_

namespace installer {

// Draws the guard from the system's random-number generator. Called by the
// entry point before anything else that could return into a protected
// frame, and once only: a frame entered before the draw would fail its
// check on the way out.
void SeedStackGuard();

}  // namespace installer

#endif  // STUB_STACK_GUARD_H_
