"""The base URLs of the vesk services, read once from the environment at
the first import, each with an https default: TRACKING_URI, the tracking
server's, from TALVERO_TRACKING_URL (default https://tracking.vesk.io), and
TALVERO_API_URL, the account server's, from TALVERO_API_URL (default
https://api.talvero.io; no trailing slash). A later change of the
environment changes neither.
"""

import os as os

TRACKING_URI: str
TALVERO_API_URL: str
