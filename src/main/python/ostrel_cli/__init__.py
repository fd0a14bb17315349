"""The ostrel command: binary deltas between files and JSON to CBOR, on top
of the ostrel_core extension module."""
