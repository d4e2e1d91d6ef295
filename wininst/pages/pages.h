// The pages of the wizard. Each page's file holds its procedure and its
// descriptor (name, title); pages.cpp puts them in their order. A new page
// is a new file here and a line there.
#pragma once

#include "wininst/core/page.h"

PageDescriptor WelcomeDescriptor();
PageDescriptor InstDirDescriptor();
PageDescriptor ProgressDescriptor();
PageDescriptor CompletionDescriptor();

// Carries out what the user chose on the completion page: the quickstart
// guide, the documents, then the Java installer or the IDE. Does nothing when
// the page was passed over. Called once the message loop has ended.
void RunPostWizardChoices();

// Gives the frame the page table: the pages in their order.
void InstallWizardPages();
