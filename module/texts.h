// Every text the module shows to Python: its docstrings and its error messages.
#ifndef QUORVALENT_TEXTS_H
#define QUORVALENT_TEXTS_H

namespace quorvalent::texts {

inline constexpr char module_doc[] =
    "Module for calculating hamming distance of two hexadecimal strings";

// Each docstring opens with the signature line CPython reads for inspect.signature and strips
// from __doc__, so the published text is unchanged.
inline constexpr char hamming_distance_doc[] =
    "hamming_distance($module, a, b, /)\n--\n\n"
    "Calculate the hamming distance of two strings\n"
    "\n"
    "This is equivalent to\n"
    "\n"
    "    bin(int(a, 16) ^ int(b, 16)).count('1')\n"
    "\n"
    "with the only difference being it was written in C and optimized\n"
    "using a lookup table of pre-calculated hexadecimal hamming distances.\n"
    ":param a: hexadecimal string\n"
    ":type a: str\n"
    ":param b: hexadecimal string\n"
    ":type b: str\n"
    ":returns: the hamming distance between the bits of two hexadecimal strings\n"
    ":rtype: int\n"
    ":raises ValueError: if either string doesn't exist, if the strings are different lengths, "
    "or if the strings aren't valid hex";

// Line 5 says "<" although a distance equal to max_dist answers True; kept as published
// because callers may read it.
inline constexpr char check_within_doc[] =
    "check_hexstrings_within_dist($module, a, b, max_dist, /)\n--\n\n"
    "Check if the hex strings are within a specified Hamming Distance\n"
    "\n"
    "This is equivalent to\n"
    "\n"
    "    bin(int(a, 16) ^ int(b, 16)).count('1') < max_dist \n"
    "\n"
    "with the only difference being it was written in C and optimized\n"
    "using a lookup table of pre-calculated hexadecimal hamming distances.\n"
    ":param a: hexadecimal string\n"
    ":type a: str\n"
    ":param b: hexadecimal string\n"
    ":type b: str\n"
    ":param max_dist: maximum allowable Hamming Distance\n"
    ":type max_dist: int\n"
    ":returns: whether or not the two hex strings are within `max_dist`\n"
    ":rtype: int\n"
    ":raises ValueError: if either string doesn't exist, if the strings are different lengths, "
    "or if the strings aren't valid hex";

inline constexpr char parse_error[] = "error occurred while parsing arguments";
inline constexpr char length_mismatch[] = "strings are NOT the same length";
inline constexpr char invalid_char[] = "hex string contains invalid char";
inline constexpr char negative_limit[] = "`max_dist` must be >0";

}  // namespace quorvalent::texts

#endif
