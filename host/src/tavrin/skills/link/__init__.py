"""Placing a skill's entry in each AI tool's skills directory."""

from tavrin import _accelerated_path

__path__ = _accelerated_path(__path__, __name__)
