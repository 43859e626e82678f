#pragma once
#include <map>
#include <string>

// Runs the independent mail reader (peers/read_mail.py, Python's own email
// package) on a delivered message: SUBJECT (decoded), BODY (the text's lines
// joined by |), ATTACHMENT (the last one's name and MD5), DEFECTS, TO, FROM,
// MESSAGE_ID, DATE. With `saveDir` every attachment is also written there.
std::map<std::string, std::string> ReadMail(const std::string& path, const std::string& saveDir = "");
