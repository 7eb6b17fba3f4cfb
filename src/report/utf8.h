// UTF-8 as the output modes that care about characters read it.
#pragma once

// The length of the valid UTF-8 character at p (1 to 4), 0 when p does not
// start one. Overlong forms, surrogates and code points past U+10FFFF are
// not valid. p points into a NUL-terminated string.
int utf8_length(const unsigned char *p);
