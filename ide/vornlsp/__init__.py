"""The language server of `vorn lsp` (see server.py)."""
