// UTF-8 as the output modes that care about characters read it.
#pragma once

// The length of the valid UTF-8 character at p (1 to 4), 0 when p does not
// start one. Overlong forms, surrogates and code points past U+10FFFF are
// not valid. p points into a NUL-terminated string.
int utf8_length(const unsigned char *p);

// The code point of the valid n-byte UTF-8 character at p.
unsigned utf8_code(const unsigned char *p, int n);

// Whether code is a character that changes how the text around it is shown
// without showing itself: the bidirectional embeddings, overrides,
// isolates and marks, the line and paragraph separators, and the byte-order
// mark. A watched program could reorder or hide what a line shows with them.
bool format_character(unsigned code);
