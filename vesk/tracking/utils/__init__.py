"""Small helpers shared by the tracking code."""

from vesk.tracking.utils import env

__all__ = ["env"]
