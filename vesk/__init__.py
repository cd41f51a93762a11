"""vesk: client utilities for the experiment-tracking service.

Kept deliberately light: importing the package loads none of the native
extension modules; they are imported where they are used.
"""

__version__ = "0.1.0"
