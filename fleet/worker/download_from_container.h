#pragma once
// The slot worker of a program file that carries its images: EBOOT and the
// PDA image from the image container at the end of the program file, then
// the phone phase, then the launch.

namespace fleet {

struct SlotContext;

constexpr char kContainerReadError[] = " Cfile read error ";

// A SlotWorker: 0 when the job finished, -1 when it failed (the posted
// codes say how).
int DownloadFromContainerThread(SlotContext* pContext);

}  // namespace fleet
