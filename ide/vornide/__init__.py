"""The environment's side of the source analyzer, in Python 2.

logicallines  cuts source into logical lines (LineRecord tuples, or logicalline objects)
grammar       Grammar: the parser factory the analyzer parses logical lines with
transformer   NodeTransformer: parse trees to tuple-form syntax trees
analysis      CQuarnelAnalysis, AnalysisFactory, AttribRef and make_attrib_ref
"""
