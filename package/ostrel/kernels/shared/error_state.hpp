// numpy's floating-point error state at the moment of a call, as far as the
// fast paths need it: whether numpy would ignore the flags a kernel raised.
#pragma once

namespace ostrel::kernels {

// At start-up, once numpy is bound: keeps the C function numpy's ufuncs and
// its own geterr read the error state through.  Rebinding geterr, or any
// other name, changes nothing numpy's statements do, so the fast paths read
// the state where numpy does.  Never fails; without such a function no flag
// counts as ignored.
void note_error_state_reader();

// True when numpy's error mode is "ignore" for each of the <cfenv> flags in
// `raised`: numpy's statements then show nothing for them, and the kernel's
// values stand.  Runs no Python code; anything unexpected answers false.
bool numpy_ignores(int raised);

} // namespace ostrel::kernels
