#pragma once

// Overwrites every byte of a secret string up to its NUL with zero, in a way
// the compiler cannot drop as a dead store before the memory is freed.
// Accepts null.
void secret_wipe(char *text);
