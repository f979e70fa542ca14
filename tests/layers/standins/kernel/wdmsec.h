// A kernel-mode stand-in header the rule knows only from its stand-in's include folder.
#pragma once
