# coding: utf-8
# A byte-order mark, then comment lines: the mark is not part of the source.
print "我"
