"""Tracking helpers of the vesk package."""
