"""A first look at kelpa: one sequence value and what it offers."""

import kelpa

seq = kelpa.Sequence("chr1", "ACGTTGCA", 1, 8)
print("sequence:          ", repr(seq))
print("reverse complement:", repr(-seq))
print("slice [2:6]:       ", repr(seq[2:6]))
print("GC fraction:       ", seq.gc)
