#pragma once

// The folder in the working directory where downloaded files wait to be
// installed.
constexpr char staging_folder[] = "_update";

// Inside the staging folder: the installation's journal and the installed
// files it moved aside, each named by its place in the journal.
constexpr char aside_folder[] = "_update\\~install";
constexpr char journal_file[] = "_update\\~install\\journal";
