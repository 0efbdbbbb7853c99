<?php

declare(strict_types=1);

// Which file names a release may hold. A client stages each offered file as
// "_update\" + the last part of its URL path and then installs it under that
// name, so a name must stay inside the staging folder and mean the same file
// to Windows; these are the rules the program applies before staging.

function is_safe_file_name(string $name): bool
{
    if ($name === '' || $name === '.' || $name === '..') {
        return false;
    }
    if (preg_match('/[\x00-\x1f\\\\\/:*?"<>|]/', $name) === 1) {
        return false;
    }
    // Windows drops a trailing dot or space, so "menu.exe." would be "menu.exe".
    $last = $name[strlen($name) - 1];
    if ($last === '.' || $last === ' ') {
        return false;
    }
    return !is_device_name($name) && !is_installation_name($name);
}

// The client's own names: its staging folder, its lock file and its kept
// key statements (written aside first) in the installation folder, and the
// folder of old copies it makes inside the staging folder. A file of any of
// them could never be installed.
function is_installation_name(string $name): bool
{
    return in_array(strtolower($name), ['_update', '_update.lock', '_update.keys', '_update.keys.new', '~install'],
                    true);
}

// Windows opens a device for these names, with or without an extension.
function is_device_name(string $name): bool
{
    $dot = strpos($name, '.');
    $stem = rtrim(strtoupper($dot === false ? $name : substr($name, 0, $dot)), ' ');
    return preg_match('/^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$/', $stem) === 1;
}

// A file's URL carries its name unchanged, because the client takes the
// staged name from the URL as written. "%" would be decoded by the web
// server and "#" ends the path; a comma would end the URL's field of the
// reply line; a byte outside printable ASCII has no one meaning in a URL
// (clients send it raw or re-encode it).
function can_name_in_url(string $name): bool
{
    return preg_match('/^[\x20-\x7e]*$/D', $name) === 1 && strpbrk($name, '%#,') === false;
}

function is_publishable_file_name(string $name): bool
{
    return is_safe_file_name($name) && can_name_in_url($name);
}
