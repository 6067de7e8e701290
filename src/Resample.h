// Resample: an image at another size, and the page size that keeps its
// proportions.
//
// Shrinking averages every source pixel that a target pixel covers,
// weighted by how much of it is covered (an area average, in exact
// integers: a flat colour stays exactly that colour, and halving an image
// of 2 x 2 blocks gives exactly the blocks' colours); enlarging repeats
// pixels. Each direction is scaled on its own, so an image may shrink
// across and grow downwards.
//
// Buffers are width x height x 3 bytes, RGB, rows top to bottom, as the
// loader makes them. Nothing is thrown; a shortage of memory is a false
// or null result.

#ifndef MOTTLEPAGE_RESAMPLE_H
#define MOTTLEPAGE_RESAMPLE_H

// The page size in characters per line and text lines that shows an image
// in its proportions, when a character cell is cell_width wide and a text
// line line_height high (any unit): as large as fits inside `columns` x
// `lines`, where 0 leaves a direction free (at least one is given). Each
// side is 1 to 65535.
void ChoosePageSize(int image_width, int image_height, int columns, int lines, double cell_width,
                    double line_height, int& page_columns, int& page_lines);

// Resamples the source into p_target, target_width x target_height. False
// when there is no memory for the work row.
bool ResamplePixels(const unsigned char* p_source, int source_width, int source_height, unsigned char* p_target,
                    int target_width, int target_height);

// The image a page of page_columns x page_lines draws: page_columns wide
// and two rows per text line, both rows of a pair the average of what the
// line's cells cover (a page shows every second row). Allocated with
// malloc, released by the caller with free; null when memory is short.
unsigned char* ScaleForPage(const unsigned char* p_pixel, int image_width, int image_height, int page_columns,
                            int page_lines);

#endif
