"""tavrin: manages skills, the directories of material that AI tools read."""
