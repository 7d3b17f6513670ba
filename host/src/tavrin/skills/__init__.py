"""Skills: the central store and the tools that read from it."""

from tavrin import _accelerated_path

__path__ = _accelerated_path(__path__, __name__)
