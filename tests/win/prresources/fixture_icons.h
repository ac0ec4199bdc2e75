/* Icon group directories for the resource fixtures, as raw 16-bit words: a header with its entry
   count, and 14-byte entries of which only the image ID at their end matters. */
#define GROUP_HEADER(count) 0, 1, count
#define GROUP_ENTRY(id) 0x1010, 0, 1, 32, 40L, id
