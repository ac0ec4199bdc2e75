// The runtime module image, linked into the Linux builder as read-only data.
#ifndef PACKRIG_SFXHEAD_PATH
#error "PACKRIG_SFXHEAD_PATH names the sfxhead.exe to embed"
#endif

asm(".section .rodata\n"
    ".global packrig_sfxhead_begin\n"
    ".global packrig_sfxhead_end\n"
    ".balign 16\n"
    "packrig_sfxhead_begin:\n"
    ".incbin \"" PACKRIG_SFXHEAD_PATH "\"\n"
    "packrig_sfxhead_end:\n"
    ".previous\n");
