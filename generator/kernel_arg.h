// Finding the "vaskel=" word on the kernel command line.
#pragma once

// Returns a malloc'ed copy of the rest of the first space-separated word of `line` that
// begins with "vaskel=", or NULL when there is none. Sets *copy_failed (when given) and
// returns NULL when the word was found but the copy could not be allocated.
char *find_kernel_arg(const char *line, bool *copy_failed = nullptr);
