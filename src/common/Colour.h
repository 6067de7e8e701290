// Colour: a colour component as a page and a picture's background take it.

#ifndef MOTTLEPAGE_COMMON_COLOUR_H
#define MOTTLEPAGE_COMMON_COLOUR_H

// The command line's background numbers are any int; CSS and blending
// take them within 0 to 255.
inline int ClampColour(int value) { return value < 0 ? 0 : value > 255 ? 255 : value; }

#endif
