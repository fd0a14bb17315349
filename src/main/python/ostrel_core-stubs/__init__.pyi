from . import cbor as cbor
from . import delta as delta
