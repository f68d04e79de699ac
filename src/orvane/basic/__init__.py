"""Core building blocks of orvane: function tagging, timed runners, stores and pipelines."""
