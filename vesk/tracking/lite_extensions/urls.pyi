import os as os

TRACKING_URI: str
TALVERO_API_URL: str
