"""Pure-Python versions of the two modules, the baseline the native ones are
measured against. Loaded under their own names: peer.linker, peer.hostprint."""
