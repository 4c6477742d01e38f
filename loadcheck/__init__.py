"""loadcheck: what the Windows loader makes of a 32-bit program's load-time
imports, worked out from the files (docs/loader.md). scripts/loadcheck is
the command; cli.main is its entry point."""
